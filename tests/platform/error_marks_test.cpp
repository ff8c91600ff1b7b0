// Taking the kernel's line-error marks off the received bytes, on streams marked as Linux marks
// them with PARMRK (a pseudo-terminal cannot make a parity error, so these are built by hand).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "native/error_marks.hpp"

namespace {

using native::kMarkedBreak;
using native::kMarkedByte;
using native::MarkDecoder;

struct Decoded {
    std::string data;
    std::uint32_t seen = 0;
};

// Feeds `raw` to one decoder in reads of the given sizes (the rest in one last read).
Decoded Feed(const std::string& raw, const std::vector<std::size_t>& reads = {}) {
    MarkDecoder decoder;
    Decoded out;
    std::size_t at = 0;
    auto take = [&](std::size_t count) {
        std::vector<unsigned char> buffer(count + 1, 0xEE);
        const std::size_t n = native::TakeOffMarks(
            decoder, reinterpret_cast<const unsigned char*>(raw.data()) + at, count,
            buffer.data(), &out.seen);
        EXPECT_LE(n, count + 1);
        out.data.append(reinterpret_cast<const char*>(buffer.data()), n);
        at += count;
    };
    for (std::size_t size : reads) take(size);
    take(raw.size() - at);
    EXPECT_EQ(0, decoder.pending) << "a mark was left unfinished";
    return out;
}

const std::string kFF("\xff", 1);
std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s.push_back(static_cast<char>(v));
    return s;
}

TEST(ErrorMarks, EveryKindOfMarkGivesTheByteAsItCameAndSaysWhatItWas) {
    // Plain data, NUL and CR/LF included, passes untouched and says nothing.
    const std::string plain("a;12\0\n\r", 7);
    EXPECT_EQ(plain, Feed(plain).data);
    EXPECT_EQ(0u, Feed(plain).seen);

    // 0377 0377: a data byte 0377, no error.
    Decoded literal = Feed(Bytes({'x', 0xff, 0xff, 'y'}));
    EXPECT_EQ(Bytes({'x', 0xff, 'y'}), literal.data);
    EXPECT_EQ(0u, literal.seen);

    // 0377 0 c: the byte c came with a parity or framing error; it goes on as it came.
    Decoded bad = Feed(Bytes({'1', 0xff, 0, '7', '2'}));
    EXPECT_EQ("172", bad.data);
    EXPECT_EQ(kMarkedByte, bad.seen);
    // ... also when the bad byte is 0377 itself.
    Decoded badFF = Feed(Bytes({0xff, 0, 0xff}));
    EXPECT_EQ(kFF, badFF.data);
    EXPECT_EQ(kMarkedByte, badFF.seen);

    // 0377 0 0: a break, read as one NUL (what a UART reads during a break).
    Decoded brk = Feed(Bytes({'a', 0xff, 0, 0, 'b'}));
    EXPECT_EQ(std::string("a\0b", 3), brk.data);
    EXPECT_EQ(kMarkedBreak, brk.seen);

    // All of them in one stream, side by side.
    Decoded all = Feed(Bytes({0xff, 0xff, 0xff, 0, 'p', 0xff, 0, 0, 0xff, 0xff, 0xff, 0, 0xff}));
    EXPECT_EQ(Bytes({0xff, 'p', 0, 0xff, 0xff}), all.data);
    EXPECT_EQ(kMarkedByte | kMarkedBreak, all.seen);
}

TEST(ErrorMarks, AMarkCutByTheEndOfAReadIsFinishedByTheNext) {
    const std::string raw =
        Bytes({'a', 0xff, 0xff, 'b', 0xff, 0, 'c', 'd', 0xff, 0, 0, 'e', 0xff, 0xff});
    const std::string expected = Bytes({'a', 0xff, 'b', 'c', 'd', 0, 'e', 0xff});
    // Every way of cutting the stream in two, and one byte per read.
    for (std::size_t cut = 0; cut <= raw.size(); ++cut) {
        SCOPED_TRACE(cut);
        Decoded two = Feed(raw, {cut});
        EXPECT_EQ(expected, two.data);
        EXPECT_EQ(kMarkedByte | kMarkedBreak, two.seen);
    }
    Decoded single = Feed(raw, std::vector<std::size_t>(raw.size(), 1));
    EXPECT_EQ(expected, single.data);

    // A read that ends inside a mark gives nothing of it until the rest comes.
    MarkDecoder decoder;
    unsigned char out[4];
    std::uint32_t seen = 0;
    const unsigned char head[] = {0xff, 0};
    EXPECT_EQ(0u, native::TakeOffMarks(decoder, head, 2, out, &seen));
    EXPECT_EQ(0u, seen);
    const unsigned char tail[] = {'z'};
    ASSERT_EQ(1u, native::TakeOffMarks(decoder, tail, 1, out, &seen));
    EXPECT_EQ('z', out[0]);
    EXPECT_EQ(kMarkedByte, seen);
}

TEST(ErrorMarks, AFullReadAheadOfMarksDecodesWithinItsBuffer) {
    // A read the read-ahead's size (512) of one byte and doubled 0377s, the last of which is
    // cut in two: 256 data bytes now, the last 0377 with the next read.
    const std::string raw = "z" + std::string(512, '\xff') + "q";
    Decoded whole = Feed(raw, {512});
    EXPECT_EQ("z" + std::string(256, '\xff') + "q", whole.data);
    EXPECT_EQ(0u, whole.seen);

    // One held-back 0377 and a read of 0377 0377 ... : the output is one longer than the read,
    // which the buffer of count + 1 allows.
    MarkDecoder decoder;
    std::uint32_t seen = 0;
    std::vector<unsigned char> out(513);
    const unsigned char first[] = {0xff};
    EXPECT_EQ(0u, native::TakeOffMarks(decoder, first, 1, out.data(), &seen));
    std::vector<unsigned char> second(512, 'k');
    second[0] = 'x';  // not a mark the kernel makes: both bytes go on as they came
    EXPECT_EQ(513u, native::TakeOffMarks(decoder, second.data(), 512, out.data(), &seen));
    EXPECT_EQ(0xff, out[0]);
    EXPECT_EQ('x', out[1]);
    EXPECT_EQ('k', out[512]);
    EXPECT_EQ(0u, seen);
}

TEST(ErrorMarks, WhatTheMarksSaidBecomesClearCommErrorsBits) {
    EXPECT_EQ(0u, native::CommErrors(0, true));
    // A marked byte is a parity error where the line has a parity bit, else a framing error.
    EXPECT_EQ(CE_RXPARITY, native::CommErrors(kMarkedByte, true));
    EXPECT_EQ(CE_FRAME, native::CommErrors(kMarkedByte, false));
    EXPECT_EQ(CE_BREAK, native::CommErrors(kMarkedBreak, false));
    EXPECT_EQ(CE_RXPARITY | CE_BREAK, native::CommErrors(kMarkedByte | kMarkedBreak, true));
}

}  // namespace
