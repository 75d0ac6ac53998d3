/* Replays inputs through a fuzz target without the fuzzing engine.
 *
 *   replay DIR|FILE...
 *
 * Every regular file in the given directories (not recursive), and every file
 * named directly, is read into a heap buffer of exactly its size and passed
 * to LLVMFuzzerTestOneInput, in name order so that runs are repeatable.  A
 * target that finds a broken invariant aborts, which fails the run; so do a
 * path that cannot be read and a run that replays nothing at all, so that a
 * misplaced corpus cannot pass unnoticed. */
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool readFile(const std::string &path, std::vector<uint8_t> *contents) {
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    contents->clear();
    uint8_t chunk[4096];
    size_t got = 0;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
        contents->insert(contents->end(), chunk, chunk + got);
    }
    const bool ok = ferror(file) == 0;
    fclose(file);
    return ok;
}

/* Runs one input from a block of its own size, so that the sanitizers see a
 * read one byte past the end. */
void runOne(const std::vector<uint8_t> &contents) {
    auto *copy = static_cast<uint8_t *>(malloc(contents.empty() ? 1 : contents.size()));
    if (copy == nullptr) {
        abort();
    }
    if (!contents.empty()) {
        memcpy(copy, contents.data(), contents.size());
    }
    LLVMFuzzerTestOneInput(copy, contents.size());
    free(copy);
}

/* Collects the regular files of a directory, or the path itself when it is
 * a file. */
bool collect(const std::string &path, std::vector<std::string> *files) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        files->push_back(path);
        return true;
    }
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr) {
        return false;
    }
    std::vector<std::string> found;
    while (const dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        // Dot files (.gitkeep and the like) are bookkeeping, not inputs.
        if (name.empty() || name[0] == '.') {
            continue;
        }
        const std::string full = path + "/" + name;
        if (stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            found.push_back(full);
        }
    }
    closedir(dir);
    std::sort(found.begin(), found.end());
    files->insert(files->end(), found.begin(), found.end());
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s DIR|FILE...\n", argv[0]);
        return 2;
    }
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (!collect(argv[i], &files)) {
            fprintf(stderr, "replay: cannot read %s\n", argv[i]);
            return 1;
        }
    }
    std::vector<uint8_t> contents;
    for (const std::string &file : files) {
        if (!readFile(file, &contents)) {
            fprintf(stderr, "replay: cannot read %s\n", file.c_str());
            return 1;
        }
        runOne(contents);
    }
    if (files.empty()) {
        fprintf(stderr, "replay: no inputs found\n");
        return 1;
    }
    printf("replay: %zu inputs ran\n", files.size());
    return 0;
}
