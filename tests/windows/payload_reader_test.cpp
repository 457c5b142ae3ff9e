#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "extraction/payload_reader.h"
#include "zstd_frames.h"

namespace {

std::string patterned(size_t size) {
    std::string raw(size, '\0');
    uint32_t x = 12345;
    for (size_t i = 0; i < size; i++) {
        x = x * 1103515245u + 12345u;
        raw[i] = static_cast<char>((x >> 16) & 0x3F);  // compressible, yet not a run
    }
    return raw;
}

class PayloadReaderTest : public ::testing::Test {
protected:
    void start(const std::string &frames) {
        startContainer(container(frames));
    }
    void startContainer(const std::string &bytes) {
        bytes_ = bytes;
        startPayload(&reader_, bytes_.data(), bytes_.size());
    }
    std::string read(size_t count) {
        std::string out(count, '\0');
        readPayload(&reader_, &out[0], count);
        return out;
    }
    void TearDown() override {
        if (reader_.decoder) {
            closePayload(&reader_);
        }
    }
    std::string bytes_;
    PayloadReader reader_ = {};
};

TEST_F(PayloadReaderTest, CountZeroTakesNoDecodeStepEvenOnAFreshReader) {
    start(compressFrame(patterned(1000), {}));
    readPayload(&reader_, nullptr, 0);
    EXPECT_EQ(reader_.input.pos, 0u);
    EXPECT_EQ(reader_.output.size, 0u);
    EXPECT_TRUE(read(1000) == patterned(1000));
}

TEST_F(PayloadReaderTest, ReadsStraddlingTheBufferAndLargerThanItDeliverEveryByteInOrder) {
    const std::string raw = patterned(700000);
    start(compressFrame(raw, {}));
    std::string got = read(2);
    got += read(8);
    got += read(131070);  // ends exactly at the first buffer's end
    got += read(100);     // needs a fresh step
    got += read(400000);  // spans several steps
    got += read(raw.size() - got.size());
    EXPECT_TRUE(got == raw);
}

TEST_F(PayloadReaderTest, AStepThatFilledTheBufferIsFollowedByAnotherAfterInputIsUsedUp) {
    // A short block, then a full one, and the frame's closing empty block cut
    // off: the first step consumes all input and fills the buffer while the
    // decoder still holds 1000 bytes.
    const std::string raw = patterned(1000 + kDecodeBufferSize);
    FrameOptions options;
    options.blockEndAfter = 1000;
    std::string frame = compressFrame(raw, options);
    ASSERT_EQ(frame.substr(frame.size() - 3), std::string("\x01\x00\x00", 3));
    frame.resize(frame.size() - 3);
    startContainer("QJY" + frame);
    std::string got = read(kDecodeBufferSize);
    ASSERT_TRUE(reader_.outputFilled);
    ASSERT_EQ(reader_.input.pos, reader_.input.size);
    got += read(1000);
    EXPECT_TRUE(got == raw);
}

TEST_F(PayloadReaderTest, TwoFramesReadAsOneStream) {
    const std::string raw = patterned(300000);
    start(compressFrame(raw.substr(0, 123457), {}) + compressFrame(raw.substr(123457), {}));
    EXPECT_TRUE(read(raw.size()) == raw);
}

TEST_F(PayloadReaderTest, FramesWithChecksumContentSizeAndTheLargestWindowRead) {
    const std::string raw = patterned(200000);
    start(compressFrame(raw, {27, true, true, 0}) + compressFrame(raw, {27, false, false, 0}));
    EXPECT_TRUE(read(2 * raw.size()) == raw + raw);
}

using PayloadReaderDeathTest = PayloadReaderTest;

TEST_F(PayloadReaderDeathTest, HeaderFailuresEndWithExitCode2) {
    const std::string frame = compressFrame("x", {});
    const std::string valid = container(frame);
    EXPECT_EXIT(startPayload(&reader_, nullptr, 0), ::testing::ExitedWithCode(2), "");
    EXPECT_EXIT(startPayload(&reader_, valid.data(), 2), ::testing::ExitedWithCode(2), "");
    std::string wrongMarker = valid;
    wrongMarker[2] = 'Z';
    EXPECT_EXIT(startPayload(&reader_, wrongMarker.data(), wrongMarker.size()), ::testing::ExitedWithCode(2), "");
    std::string wrongMagic = valid;
    wrongMagic[0] = 'q';
    EXPECT_EXIT(startPayload(&reader_, wrongMagic.data(), wrongMagic.size()), ::testing::ExitedWithCode(2), "");
}

TEST_F(PayloadReaderDeathTest, DecoderFailuresEndWithExitCode2InsteadOfLooping) {
    const std::string raw = patterned(5000);
    EXPECT_EXIT((start(compressFrame(raw, {28, false, false, 0})), read(1)), ::testing::ExitedWithCode(2), "");
    std::string damaged = compressFrame(raw, {27, true, false, 0});
    damaged[damaged.size() - 1] ^= 0x55;  // the checksum's last byte
    EXPECT_EXIT((start(damaged), read(raw.size())), ::testing::ExitedWithCode(2), "");
    std::string truncated = compressFrame(raw, {});
    truncated.resize(truncated.size() / 2);
    EXPECT_EXIT((start(truncated), read(raw.size())), ::testing::ExitedWithCode(2), "");
    // Without a trailer the input simply runs out while bytes are still wanted.
    EXPECT_EXIT((startContainer("QJY" + truncated), read(raw.size())), ::testing::ExitedWithCode(2), "");
    EXPECT_EXIT((start("garbage, not a frame"), read(1)), ::testing::ExitedWithCode(2), "");
    // Past the end of the last frame the trailer is no frame.
    EXPECT_EXIT((start(compressFrame(raw, {})), read(raw.size() + 1)), ::testing::ExitedWithCode(2), "");
}

}  // namespace
