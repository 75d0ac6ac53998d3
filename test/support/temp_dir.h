// A fresh directory under /tmp for one test: made by create(), removed with
// everything in it by remove() or, at the latest, when the object goes.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace kavotest {

class TempDir {
  public:
    TempDir() = default;
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    ~TempDir() { remove(); }

    // Makes /tmp/<prefix>-XXXXXX; false when it cannot be made.
    bool create(const char *prefix) {
        std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            return false;
        }
        path_ = pattern;
        return true;
    }

    // True when the directory and all it held are gone (or none was made).
    bool remove() {
        if (path_.empty()) {
            return true;
        }
        std::error_code error;
        std::filesystem::remove_all(path_, error);
        path_.clear();
        return !error;
    }

    const std::string &path() const { return path_; }
    std::string file(const char *name) const { return path_ + "/" + name; }

    // Writes a file in the directory with the given mode; returns its path.
    std::string write(const std::string &name, const std::string &text, mode_t mode = 0600) {
        const std::string path = path_ + "/" + name;
        std::ofstream(path) << text;
        chmod(path.c_str(), mode);
        return path;
    }

  private:
    std::string path_;
};

}  // namespace kavotest
