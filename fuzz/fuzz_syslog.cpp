/* Fuzz target: the trace log's format walker on arbitrary formats.
 *
 * Tracing is switched on directly, after one OSA_openlog, so no
 * configuration file is needed; the trace file is a private temporary file
 * (the trace log writes only into a regular file, never through a link such
 * as /proc/self/fd), emptied before every message and read back after it,
 * and removed at exit.  Every conversion takes at most three arguments (two "*" fields and
 * its value), so formats with more than 21 "%" characters are skipped and
 * 64 arguments always suffice.  Each argument points to a static string:
 * valid for %s and %p, and harmless when read as an integer or a character. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fuzz/fuzz_check.h"
#include "osa/osa.h"

namespace {

constexpr size_t kMaxConversions = 21;
constexpr size_t kPieceMax = 255;    // one formatted conversion, cut to its buffer
constexpr size_t kStampLength = 25;  // the 24-character time stamp and a blank
char kIdent[] = "fuzz:";
const char kArg[] = "x";

#define A8 kArg, kArg, kArg, kArg, kArg, kArg, kArg, kArg
#define A64 A8, A8, A8, A8, A8, A8, A8, A8

char tracePath[] = "/tmp/kavo-fuzz-trace-XXXXXX";

int traceFile() {
    static const int fd = [] {
        const int file = mkstemp(tracePath);
        FUZZ_CHECK(file >= 0);
        atexit([] { unlink(tracePath); });
        FUZZ_CHECK(OSA_openlog(kIdent, 0, 0) == 0);
        snprintf(OSA_TraceFileName, sizeof OSA_TraceFileName, "%s", tracePath);
        OSA_TraceEnabled = 1;
        OSA_SyslogInitialized = 1;
        return file;
    }();
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    size_t percents = 0;
    for (size_t i = 0; i < size; ++i) {
        percents += data[i] == '%' ? 1 : 0;
    }
    if (percents > kMaxConversions) {
        return 0;
    }
    char *format = fuzzCopyString(data, size);
    const size_t length = strlen(format);

    const int fd = traceFile();
    FUZZ_CHECK(ftruncate(fd, 0) == 0);
    FUZZ_CHECK(OSA_syslog(0, format, A64) == 0);

    struct stat st;
    FUZZ_CHECK(fstat(fd, &st) == 0);
    const auto written = static_cast<size_t>(st.st_size);
    const size_t header = kStampLength + strlen(kIdent);
    // The header always; then the literal text and at most one cut piece
    // per conversion.
    FUZZ_CHECK(written >= header);
    FUZZ_CHECK(written <= header + length + kPieceMax * percents);
    if (memchr(format, '%', length) == nullptr) {
        // Without a conversion the message is the format itself.
        FUZZ_CHECK(written == header + length);
        auto *message = static_cast<char *>(malloc(length + 1));
        FUZZ_CHECK(message != nullptr);
        FUZZ_CHECK(pread(fd, message, length + 1, static_cast<off_t>(header)) ==
                   static_cast<ssize_t>(length));
        FUZZ_CHECK(memcmp(message, format, length) == 0);
        free(message);
    }
    free(format);
    return 0;
}
