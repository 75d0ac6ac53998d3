// The UTF-8 decoder step, the conversion to the 16-bit name, and the GUID
// text of log messages.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "addon/addon.h"

namespace {

struct Step {
    std::vector<unsigned char> bytes;  // zero-terminated by the test
    uint16_t unit;
    std::ptrdiff_t moves;
};

TEST(Utf8Decoder, DecodesOneUnitAndMovesPastWhatItConsumed) {
    const Step steps[] = {
        {{0x41}, 0x0041, 1},
        {{0x7F}, 0x007F, 1},
        {{0xC3, 0xA9}, 0x00E9, 2},
        {{0xE2, 0x82, 0xAC}, 0x20AC, 3},
        {{0xEF, 0xBF, 0xBF}, 0xFFFF, 3},
        // Continuation bytes are not checked; only their low six bits count.
        {{0xC3, 0x29}, 0x00E9, 2},
        // Overlong forms and encoded surrogates go through the same formulas.
        {{0xC1, 0x81}, 0x0041, 2},
        {{0xED, 0xA0, 0x80}, 0xD800, 3},
        // Nothing to decode: a stray continuation byte, a four-byte lead,
        // a sequence cut by the terminator.
        {{0x80}, 0, 0},
        {{0xBF}, 0, 0},
        {{0xF0, 0x9F, 0x98, 0x80}, 0, 0},
        {{0xFF}, 0, 0},
        {{0xC3}, 0, 0},
        {{0xE2, 0x82}, 0, 0},
        {{0xE2}, 0, 0},
    };
    for (const Step &step : steps) {
        std::vector<unsigned char> text = step.bytes;
        text.push_back(0);
        const unsigned char *cursor = text.data();
        EXPECT_EQ(GetNextUnicodeCharFromUTF8String(&cursor), step.unit)
            << "first byte " << int(step.bytes[0]);
        EXPECT_EQ(cursor - text.data(), step.moves) << "first byte " << int(step.bytes[0]);
    }
}

// Converts into a buffer of exactly 2 x (length + 1) bytes followed by
// guard bytes, and checks the guard is untouched.
std::vector<unsigned char> convert(const std::string &source, int32_t *written) {
    const std::size_t size = 2 * (source.size() + 1);
    std::vector<unsigned char> buffer(size + 8, 0xA5);
    *written = ConvertUTF8ToUnicodeString(source.c_str(), buffer.data());
    for (std::size_t i = size; i < buffer.size(); ++i) {
        EXPECT_EQ(buffer[i], 0xA5)
            << "written past the buffer at " << i << " for \"" << source << '"';
    }
    EXPECT_GE(*written, 0);
    EXPECT_LE(static_cast<std::size_t>(*written) + 2, size);
    EXPECT_EQ(buffer[*written], 0);
    EXPECT_EQ(buffer[*written + 1], 0);
    buffer.resize(static_cast<std::size_t>(*written));
    return buffer;
}

TEST(Utf8Conversion, WritesLowByteFirstAndTwoZeroBytes) {
    int32_t written = -1;
    EXPECT_EQ(convert("", &written), std::vector<unsigned char>{});
    EXPECT_EQ(written, 0);
    EXPECT_EQ(convert("A\xC3\xA9\xE2\x82\xAC", &written),
              (std::vector<unsigned char>{0x41, 0, 0xE9, 0, 0xAC, 0x20}));
    EXPECT_EQ(written, 6);
}

// Characters above U+FFFF, which the decoder step cannot consume, become
// surrogate pairs; a four-byte sequence that names none is skipped.
TEST(Utf8Conversion, WritesCharactersAboveFfffAsSurrogatePairs) {
    int32_t written = -1;
    EXPECT_EQ(convert("a\xF0\x9F\x98\x80"
                      "b",
                      &written),
              (std::vector<unsigned char>{'a', 0, 0x3D, 0xD8, 0x00, 0xDE, 'b', 0}));
    // The first and the last character above U+FFFF.
    EXPECT_EQ(convert("\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", &written),
              (std::vector<unsigned char>{0x00, 0xD8, 0x00, 0xDC, 0xFF, 0xDB, 0xFF, 0xDF}));
    EXPECT_EQ(written, 8);
    // Beyond U+10FFFF, overlong, cut by the terminator, a continuation byte
    // out of pattern: none converts; the ASCII byte among them does.
    EXPECT_EQ(convert("\xF4\x90\x80\x80\xF0\x80\x80\x80", &written), std::vector<unsigned char>{});
    EXPECT_EQ(convert("\xF0\x9F\x41\x80", &written), (std::vector<unsigned char>{'A', 0}));
    EXPECT_EQ(convert("\xF0\x9F\x98", &written), std::vector<unsigned char>{});
}

// Bytes that convert to nothing are skipped: the conversion ends, keeps the
// rest of the name and stays within its buffer.
TEST(Utf8Conversion, SkipsBytesThatDoNotConvert) {
    int32_t written = -1;
    // Stray continuation bytes, alone and in a row.
    EXPECT_EQ(convert("\x80x\xBF\xBF", &written), (std::vector<unsigned char>{'x', 0}));
    // A lead byte cut by the terminator.
    EXPECT_EQ(convert("z\xC3", &written), (std::vector<unsigned char>{'z', 0}));
    EXPECT_EQ(convert("\xE2\x82", &written), std::vector<unsigned char>{});
    // Nothing but undecodable bytes, long enough to overrun if each wrote.
    EXPECT_EQ(convert(std::string(300, '\xF8'), &written), std::vector<unsigned char>{});
}

TEST(Utf8Conversion, LongestNameFillsItsBufferExactly) {
    // 254 one-byte characters: 508 bytes and the two zero bytes, 510 in all.
    int32_t written = -1;
    EXPECT_EQ(convert(std::string(254, 'n'), &written).size(), 508u);
    EXPECT_EQ(written, 508);
}

TEST(GuidText, GroupsEightFourFourTwoTwoTwelve) {
    const unsigned char guid[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                    0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    char buffer[38];
    std::memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(ConvertGUIDToString(buffer, guid), buffer);
    EXPECT_STREQ(buffer, "33221100-5544-7766-88-99-aabbccddeeff");

    // Leading zeros are kept, and the GUID need not be aligned.
    unsigned char unaligned[17] = {};
    unaligned[1] = 0x01;
    unaligned[16] = 0x0A;
    EXPECT_STREQ(ConvertGUIDToString(buffer, unaligned + 1),
                 "00000001-0000-0000-00-00-00000000000a");
}

}  // namespace
