// Directory identity library simulator (libtamo.so.0): checks the add-on's
// arguments and hands each call to the back end that directory.conf
// chooses: the SQLite database by default, an LDAP directory when the file
// exists.  A list call's answer is kept for the lookups that follow it on
// the same thread (ListMemo).  The two files are looked at through a watch
// (PathWatch) that calls stat() again only after something changed.  See
// tamolib.h for the contract.
#include <fcntl.h>
#include <linux/magic.h>
#include <pthread.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/tamo/tamo_internal.h"
#include "platform/tamo/tamolib.h"

namespace tamo {
namespace {

// Directory watches: the entry that leads on along the path made, removed,
// renamed or its mode or owner changed, and the directory itself renamed,
// removed or its mode changed.
constexpr uint32_t kDirectoryEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
// The file itself, through whichever of its names it is changed.
constexpr uint32_t kFileEvents =
    IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;
// Paths kept at once (the database and directory.conf; a process that
// points the variables elsewhere starts again).
constexpr std::size_t kMaxKnown = 8;

// File systems on which every change is made through this kernel, which
// reports it to inotify.  A network or FUSE file system changed from
// elsewhere reports nothing: paths on them are looked at every call.
bool watchableFileSystem(const char *path) {
    struct statfs fs {};
    if (statfs(path, &fs) != 0) {
        return false;
    }
    switch (static_cast<unsigned long>(fs.f_type)) {
        case EXT4_SUPER_MAGIC:
        case XFS_SUPER_MAGIC:
        case BTRFS_SUPER_MAGIC:
        case F2FS_SUPER_MAGIC:
        case TMPFS_MAGIC:
        case RAMFS_MAGIC:
        case OVERLAYFS_SUPER_MAGIC:
            return true;
        default:
            return false;
    }
}

int plainStat(const char *path, struct stat &st) {
    return ::stat(path, &st) == 0 ? 0 : errno;
}

// What stat() says about the few paths the library looks at on every call
// (directory.conf and the database), kept until inotify reports that it may
// have changed: a call that finds nothing changed makes one epoll_wait()
// instead of a stat() per file.  The events are read once per call, by the
// look at directory.conf that every call begins with.
//
// Every directory along a path is watched for the entry that leads on, and
// the file itself for writes and changes of its attributes; a directory is
// watched before the entry below it is looked at, so no change slips in
// between.  The mount table is watched too, since a file system mounted
// over a directory of the path sends no inotify event.  The kernel queues an
// event before the system call that made the change returns, so the next
// call sees it; any event that concerns a path forgets every kept answer
// and starts the watches anew.  A path that cannot be watched soundly is
// looked at with stat() on every call: a relative path, one holding "." or
// "..", one through a symbolic link, one on a file system other than the
// local ones above; and so is every path when inotify or the mount table
// cannot be had.  A child after fork() makes watches of its own and leaves
// the inherited descriptors, which its parent still reads, unread.  (The
// mount table watched is that of the namespace the watches were made in: a
// process that enters another one later by unshare() or setns() must not
// rely on mounts being noticed.)
class PathWatch {
  public:
    static PathWatch &instance() {
        static PathWatch *watch = [] {
            auto *made = new PathWatch;  // never destroyed: used until exit
            (void)pthread_atfork(forkPrepare, forkParent, forkChild);
            return made;
        }();
        return *watch;
    }

    int stat(const char *path, struct stat &st, bool readEvents) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (inherited_) {
            stop();
            inherited_ = false;
        }
        if (unavailable_) {
            return plainStat(path, st);
        }
        if (inotify_ < 0 || (readEvents && changed())) {
            stop();
            if (!start()) {
                unavailable_ = true;
                return plainStat(path, st);
            }
        }
        Known *known = find(path);
        if (known == nullptr) {
            if (known_.size() == kMaxKnown) {
                stop();
                if (!start()) {
                    unavailable_ = true;
                    return plainStat(path, st);
                }
            }
            known = &known_.emplace_back();
            known->path = path;
            known->watched = watch(known->path);
        }
        if (known->kept) {
            st = known->st;
            return known->error;
        }
        const int error = plainStat(path, st);
        if (known->watched) {
            known->kept = true;
            known->error = error;
            known->st = st;
        }
        return error;
    }

  private:
    // Events of wd about the entry name count; with name empty, all do.
    struct Interest {
        int wd;
        std::string name;
    };
    struct Known {
        std::string path;
        bool watched = false;  // false: looked at on every call
        bool kept = false;
        int error = 0;
        struct stat st {};
    };

    PathWatch() = default;

    static void forkPrepare() { instance().mutex_.lock(); }
    static void forkParent() { instance().mutex_.unlock(); }
    static void forkChild() {
        instance().inherited_ = true;
        instance().mutex_.unlock();
    }

    // One epoll set holds both: asking whether anything happened is one
    // system call, and the cheapest (no file is looked up for it).
    bool start() {
        inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        mounts_ = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        struct epoll_event events {};
        events.events = EPOLLIN;
        events.data.fd = inotify_;
        bool ok = inotify_ >= 0 && mounts_ >= 0 && epoll_ >= 0 &&
                  epoll_ctl(epoll_, EPOLL_CTL_ADD, inotify_, &events) == 0;
        // The mount table reports a change as a priority event, once.
        events.events = EPOLLPRI;
        events.data.fd = mounts_;
        ok = ok && epoll_ctl(epoll_, EPOLL_CTL_ADD, mounts_, &events) == 0;
        if (!ok) {
            stop();
        }
        return ok;
    }

    void stop() {
        for (int fd : {inotify_, mounts_, epoll_}) {
            if (fd >= 0) {
                close(fd);
            }
        }
        inotify_ = mounts_ = epoll_ = -1;
        interests_.clear();
        known_.clear();
    }

    Known *find(const char *path) {
        for (Known &known : known_) {
            if (known.path == path) {
                return &known;
            }
        }
        return nullptr;
    }

    // Reads what the kernel queued: true when the mount table changed or an
    // event concerns a kept path (or events were lost).
    bool changed() {
        struct epoll_event ready[2];
        const int count = epoll_wait(epoll_, ready, 2, 0);
        if (count == 0) {
            return false;
        }
        if (count < 0) {
            return true;
        }
        for (int i = 0; i < count; ++i) {
            if (ready[i].data.fd != inotify_ || ready[i].events != EPOLLIN) {
                return true;
            }
        }
        bool concerned = false;
        alignas(struct inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t got = read(inotify_, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                return concerned || (got < 0 && errno != EAGAIN);
            }
            for (ssize_t at = 0; at < got;) {
                const auto *event = reinterpret_cast<const struct inotify_event *>(buffer + at);
                concerned = concerned || concerns(*event);
                at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
            }
        }
    }

    bool concerns(const struct inotify_event &event) const {
        if ((event.mask & IN_Q_OVERFLOW) != 0) {
            return true;
        }
        for (const Interest &interest : interests_) {
            if (interest.wd == event.wd &&
                (interest.name.empty() || event.len == 0 || interest.name == event.name)) {
                return true;
            }
        }
        return false;
    }

    // Watches the directories along path and the file; false when the path
    // cannot be watched soundly (it is then looked at on every call).
    bool watch(const std::string &path) {
        if (path.size() < 2 || path[0] != '/') {
            return false;
        }
        std::vector<std::string> parts;
        for (std::size_t at = 1; at <= path.size();) {
            std::size_t end = path.find('/', at);
            end = end == std::string::npos ? path.size() : end;
            std::string part = path.substr(at, end - at);
            if (part.empty() || part == "." || part == "..") {
                return false;
            }
            parts.push_back(std::move(part));
            at = end + 1;
        }
        std::string at = "/";
        if (!add(at, kDirectoryEvents | IN_ONLYDIR, parts[0])) {
            return false;
        }
        for (std::size_t i = 0; i < parts.size(); ++i) {
            const std::string next = (i == 0 ? at : at + "/") + parts[i];
            struct stat entry {};
            if (lstat(next.c_str(), &entry) != 0) {
                return true;  // missing: its making shows in the watch of at
            }
            if (S_ISLNK(entry.st_mode)) {
                return false;
            }
            if (i + 1 == parts.size()) {
                return add(next, kFileEvents, {});
            }
            if (!S_ISDIR(entry.st_mode)) {
                return true;  // stat() fails with ENOTDIR until this entry changes
            }
            if (!add(next, kDirectoryEvents | IN_ONLYDIR, parts[i + 1])) {
                return false;
            }
            at = next;
        }
        return true;
    }

    bool add(const std::string &at, uint32_t mask, std::string name) {
        if (!watchableFileSystem(at.c_str())) {
            return false;
        }
        const int wd = inotify_add_watch(inotify_, at.c_str(), mask | IN_DONT_FOLLOW | IN_MASK_ADD);
        if (wd < 0) {
            return false;
        }
        interests_.push_back({wd, std::move(name)});
        return true;
    }

    std::mutex mutex_;
    int inotify_ = -1;
    int mounts_ = -1;
    int epoll_ = -1;
    bool unavailable_ = false;  // no inotify or mount table: stat() every call
    bool inherited_ = false;    // made before a fork(): the parent's to read
    std::vector<Interest> interests_;
    std::vector<Known> known_;
};

}  // namespace

int64_t nowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int statWatched(const char *path, struct stat &st, bool readEvents) {
    try {
        return PathWatch::instance().stat(path, st, readEvents);
    } catch (...) {
        // No memory to keep the answer: look at the file instead.
        return plainStat(path, st);
    }
}

}  // namespace tamo

namespace {

constexpr int32_t kUseSqlite = 1;

// The configuration as last read, and the files it was read from: read
// again only when either file changes, and its fault reported once per
// change.
struct ConfigCache {
    std::mutex mutex;
    bool valid = false;
    std::string path;
    tamo::FileStamp stamp;
    // The password file, once a configuration that names one was parsed:
    // a new password, or a mode that opens it to others, is seen at the
    // next call.
    std::string passwordFile;
    tamo::FileStamp passwordStamp;
    tamo::ldap::Config config;  // null when the files cannot be used
    int32_t failure = TAMO_ERR_CONFIG;
};

ConfigCache &configCache() {
    static ConfigCache cache;
    return cache;
}

bool unchanged(const ConfigCache &cache, const char *path, const tamo::FileStamp &stamp) {
    return cache.valid && cache.path == path && cache.stamp == stamp &&
           (cache.passwordFile.empty() ||
            cache.passwordStamp == tamo::stampOf(cache.passwordFile.c_str()));
}

// Chooses the back end for one call: kUseSqlite, or TAMO_OK with config set
// for LDAP, or the status of the fault.  A missing file at the default place
// means SQLite; a file named by TAMO_DIRECTORY_CONF must exist.
int32_t chooseBackend(tamo::ldap::Config &config) {
    const char *path = tamo::configPath();
    struct stat st;
    const int statError = tamo::statWatched(path, st, true);
    const bool exists = statError == 0;
    if (!exists && statError == ENOENT && !tamo::configPathExplicit()) {
        return kUseSqlite;
    }
    const tamo::FileStamp stamp = exists ? tamo::stampOf(st) : tamo::FileStamp{};
    ConfigCache &cache = configCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (!unchanged(cache, path, stamp)) {
        auto loaded = std::make_shared<tamo::LdapConfig>();
        std::string error;
        int32_t status = TAMO_ERR_CONFIG;
        if (!exists) {
            error = std::string("cannot read it: ") + std::strerror(statError);
        } else if (tamo::loadConfig(path, *loaded, error, &status)) {
            error.clear();
        }
        if (!error.empty()) {
            (void)std::fprintf(stderr, "libtamo: %s: %s\n", path, error.c_str());
        }
        cache.valid = true;
        cache.path = path;
        cache.stamp = stamp;
        cache.failure = status;
        cache.passwordFile.clear();
        if (loaded->passwordStamp) {
            cache.passwordFile = loaded->passwordFile;
            cache.passwordStamp = *loaded->passwordStamp;
        }
        cache.config = error.empty() ? tamo::ldap::Config(std::move(loaded)) : nullptr;
    }
    config = cache.config;
    return config != nullptr ? TAMO_OK : cache.failure;
}

// The last list this thread read, for TAMO_LIST_MEMO_MS: the add-on asks for
// the DN of each of its GUIDs right after the list call (and, for a list
// longer than its buffer, makes the list call again with the count it was
// told), and those calls are answered from here, without another round
// trip to the directory or another look at the files.
struct ListMemo {
    int64_t madeMs = 0;  // 0: nothing kept
    std::string login;
    tamo::SevList list;
    bool retryDue = false;  // the list was longer than the caller's buffer
    std::size_t next = 0;   // where the next GUID lookup most likely is

    bool fresh() const { return madeMs != 0 && tamo::nowMs() - madeMs <= TAMO_LIST_MEMO_MS; }
    void keep(const std::string &name, tamo::SevList &&read, bool tooLong) {
        if (read.size() > TAMO_LIST_MEMO_MAX) {
            // Only the first entries: no list call is answered from it.
            read.guids.resize(std::size_t{TAMO_LIST_MEMO_MAX} * TAMO_GUID_SIZE);
            read.dns.resize(TAMO_LIST_MEMO_MAX);
            tooLong = false;
        }
        madeMs = tamo::nowMs();
        login = name;
        list = std::move(read);
        retryDue = tooLong;
        next = 0;
    }
    void forget() {
        madeMs = 0;
        login.clear();
        list = {};
        retryDue = false;
    }
    // The DN the list gave for guid, or null.
    const std::string *dnOf(const unsigned char *guid) {
        if (!fresh()) {
            return nullptr;
        }
        const std::size_t n = list.size();
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t i = (next + k) % n;
            if (std::memcmp(list.guids.data() + i * TAMO_GUID_SIZE, guid, TAMO_GUID_SIZE) == 0) {
                next = i + 1;
                return list.dns[i].empty() ? nullptr : &list.dns[i];
            }
        }
        return nullptr;
    }
};

thread_local ListMemo t_memo;

// Runs a back-end call so that no C++ exception (an allocation failing)
// leaves the library.
template <typename Call>
int32_t guarded(Call call) {
    try {
        return call();
    } catch (...) {
        return TAMO_ERR_NO_MEMORY;
    }
}

}  // namespace

extern "C" {

int32_t tamolib_get_userinfo_from_name(const char *name, int32_t *selector, unsigned char *guid,
                                       unsigned char *sid, int32_t * /*reserved1*/,
                                       int32_t * /*reserved2*/) {
    if (name == nullptr || selector == nullptr || *selector != TAMO_INFO_SID || sid == nullptr) {
        return TAMO_ERR_INVALID_ARG;
    }
    return guarded([&] {
        tamo::ldap::Config config;
        int32_t backend = chooseBackend(config);
        if (backend == kUseSqlite) {
            return tamo::sqlite::userByName(name, guid, sid);
        }
        return backend == TAMO_OK ? tamo::ldap::userByName(config, name, guid, sid) : backend;
    });
}

int32_t tamolib_sid_to_string(const unsigned char *sid, char *text) {
    if (sid == nullptr || text == nullptr) {
        return TAMO_ERR_INVALID_ARG;
    }
    return tamo::formatSid(sid, text, TAMO_SID_TEXT_SIZE) ? TAMO_OK : TAMO_ERR_INVALID_ARG;
}

int32_t tamolib_get_sevlist_from_name(const unsigned char *name16, int32_t *count,
                                      unsigned char *guids, int32_t * /*flags*/) {
    if (name16 == nullptr || count == nullptr || *count < 0 || (*count > 0 && guids == nullptr)) {
        return TAMO_ERR_INVALID_ARG;
    }
    return guarded([&] {
        std::string login;
        if (!tamo::utf16ToUtf8(name16, login)) {
            return TAMO_ERR_NOT_FOUND;
        }
        ListMemo &memo = t_memo;
        int32_t status = TAMO_OK;
        tamo::SevList list;
        if (memo.retryDue && memo.login == login && memo.fresh()) {
            // The call again with the count it was told: answered with the
            // list just read.
            list = std::move(memo.list);
        } else {
            tamo::ldap::Config config;
            int32_t backend = chooseBackend(config);
            status = backend == kUseSqlite ? tamo::sqlite::sevList(login, list)
                     : backend == TAMO_OK  ? tamo::ldap::sevList(config, login, list)
                                           : backend;
        }
        if (status != TAMO_OK) {
            memo.forget();
            return status;
        }
        const std::size_t n = list.size();
        if (n > static_cast<std::size_t>(*count)) {
            *count = static_cast<int32_t>(n);
            memo.keep(login, std::move(list), true);
            return TAMO_ERR_BUFFER_TOO_SMALL;
        }
        if (n > 0) {
            std::memcpy(guids, list.guids.data(), n * TAMO_GUID_SIZE);
        }
        *count = static_cast<int32_t>(n);
        memo.keep(login, std::move(list), false);
        return TAMO_OK;
    });
}

int32_t tamolib_get_userinfo_from_guid(const unsigned char *guid, int32_t *selector,
                                       void *reserved1, void *reserved2, int32_t * /*flags*/,
                                       char **dn) {
    if (guid == nullptr || selector == nullptr || *selector != TAMO_INFO_DN || dn == nullptr ||
        reserved1 != nullptr || reserved2 != nullptr) {
        return TAMO_ERR_INVALID_ARG;
    }
    return guarded([&] {
        if (const std::string *known = t_memo.dnOf(guid); known != nullptr) {
            char *copy = strdup(known->c_str());
            if (copy == nullptr) {
                return TAMO_ERR_NO_MEMORY;
            }
            *dn = copy;
            return TAMO_OK;
        }
        tamo::ldap::Config config;
        int32_t backend = chooseBackend(config);
        if (backend == kUseSqlite) {
            return tamo::sqlite::dnByGuid(guid, dn);
        }
        return backend == TAMO_OK ? tamo::ldap::dnByGuid(config, guid, dn) : backend;
    });
}

}  // extern "C"
