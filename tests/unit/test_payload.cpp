#include "common/MemoryResources.h"
#include "common/UDataRessources.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <zlib.h>

namespace {

using nv::PayloadBuffer;
using nv::PayloadHeader;

// Bytes that compress to about half their size, as a program does.
std::string ProgramLike(std::size_t size, unsigned seed = 7) {
    std::mt19937 rng(seed);
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        out[i] =
            (i % 3 == 0) ? static_cast<char>(rng() & 0xFF) : static_cast<char>("MZ\x90\0PE"[i % 6]);
    return out;
}

std::string Deflate(const std::string& plain, int level = 9) {
    uLongf n = compressBound(static_cast<uLong>(plain.size()));
    std::string out(n, '\0');
    EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(out.data()), &n,
                        reinterpret_cast<const Bytef*>(plain.data()),
                        static_cast<uLong>(plain.size()), level),
              Z_OK);
    out.resize(n);
    return out;
}

std::string Header(std::uint32_t format, std::int64_t unpacked,
                   std::uint64_t stamp = 0x01D511459A86E160ull) {
    std::string h(128, '\0');
    for (int i = 0; i < 4; ++i)
        h[i] = static_cast<char>(format >> (8 * i));
    for (int i = 0; i < 8; ++i) {
        h[8 + i] = static_cast<char>(stamp >> (8 * i));
        h[16 + i] = static_cast<char>(static_cast<std::uint64_t>(unpacked) >> (8 * i));
    }
    return h;
}

std::string AsString(const PayloadBuffer& data, std::int32_t size) {
    return data ? std::string(reinterpret_cast<const char*>(data.get()),
                              static_cast<std::size_t>(size))
                : std::string();
}

class PayloadReader : public ::testing::Test {
  protected:
    struct Result {
        bool ok;
        PayloadHeader header;
        PayloadBuffer data;
        std::int32_t size;
        std::string text;
    };
    Result Read(const std::string& name = "NIVAXEL") {
        Result r;
        std::memset(&r.header, 0xAB, sizeof r.header);
        r.size = -1;
        r.text = "stale";
        r.ok = nv::ReadPayloadResource(name, r.header, r.data, r.size, r.text);
        return r;
    }
    static bool HeaderUntouched(const PayloadHeader& h) {
        const auto* b = reinterpret_cast<const unsigned char*>(&h);
        for (std::size_t i = 0; i < sizeof h; ++i)
            if (b[i] != 0xAB)
                return false;
        return true;
    }
    nv::MemoryResources resources_;
    nv::ScopedResourceApi scope_{resources_};
};

TEST_F(PayloadReader, MissingResourceOrShortHeader) {
    resources_.Add("UNINSTALLNIVAXEL", Header(0, 0));
    Result r = Read("NIVAXEL");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.data, nullptr);
    EXPECT_EQ(r.size, 0);
    EXPECT_EQ(r.text, "Erreur de ressource \"NIVAXEL\"");
    EXPECT_TRUE(HeaderUntouched(r.header));

    resources_.Add("NIVAXEL", Header(0, 0));
    resources_.Fail(nv::MemoryResources::Op::LoadResource);
    r = Read("NIVAXEL");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.text, "Erreur de ressource \"NIVAXEL\"");
    resources_.Fail(nv::MemoryResources::Op::LoadResource, false);
    resources_.Fail(nv::MemoryResources::Op::LockResource);
    EXPECT_EQ(Read("NIVAXEL").text, "Erreur de ressource \"NIVAXEL\"");
    resources_.Fail(nv::MemoryResources::Op::LockResource, false);

    // One byte short of a header: the size text, the header left as it was.
    resources_.Add("NIVAXEL", Header(0, 0).substr(0, 127));
    r = Read();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.text, "Erreur taille de la ressource \"NIVAXEL\"");
    EXPECT_EQ(r.data, nullptr);
    EXPECT_EQ(r.size, 0);
    EXPECT_TRUE(HeaderUntouched(r.header));
}

TEST_F(PayloadReader, HeaderAloneIsAnEmptyProgram) {
    for (std::uint32_t format : {0u, 1u}) {
        resources_.Add("NIVAXEL", Header(format, 0, 0x0102030405060708ull));
        Result r = Read();
        EXPECT_TRUE(r.ok) << format;
        EXPECT_EQ(r.data, nullptr);
        EXPECT_EQ(r.size, 0);
        EXPECT_EQ(r.text, "");
        EXPECT_EQ(r.header.Format, format);
        EXPECT_EQ(r.header.TimeStamp.dwLowDateTime, 0x05060708u);
        EXPECT_EQ(r.header.TimeStamp.dwHighDateTime, 0x01020304u);
    }
}

TEST_F(PayloadReader, AnyOtherFormatIsTheRawBytesInACopy) {
    const std::string body = ProgramLike(1000);
    for (std::uint32_t format : {0u, 2u, 0xFFFFFFFFu}) {
        resources_.Add("NIVAXEL", Header(format, 1000) + body);
        Result r = Read();
        EXPECT_TRUE(r.ok) << format;
        EXPECT_EQ(r.text, "");
        EXPECT_EQ(AsString(r.data, r.size), body);
        // The caller owns and frees the buffer: it must not be the resource itself.
        EXPECT_NE(static_cast<const void*>(r.data.get()),
                  static_cast<const char*>(resources_.Address("NIVAXEL")) + 128);
    }
}

TEST_F(PayloadReader, PackedProgramComesBackWithItsHeaderAndNameIsCaseInsensitive) {
    const std::string program = ProgramLike(300000);
    std::string container = Header(1, 300000) + Deflate(program);
    container[4] = 'x'; // reserved fields are never read
    container[100] = 'y';
    resources_.Add("NIVAXEL", container);
    Result r = Read("nivaxel");
    ASSERT_TRUE(r.ok) << r.text;
    EXPECT_EQ(r.size, 300000);
    EXPECT_EQ(AsString(r.data, r.size), program);
    EXPECT_EQ(r.header.UnpackedSize, 300000);
    EXPECT_EQ(std::memcmp(&r.header, container.data(), 128), 0);
}

TEST_F(PayloadReader, SizeOffByOneKeepsTheUnpackedProgram) {
    const std::string program = ProgramLike(5000);
    for (std::int64_t declared : {4999, 5001}) {
        for (std::uint32_t format : {0u, 1u}) {
            resources_.Add("NIVAXEL",
                           Header(format, declared) + (format == 1 ? Deflate(program) : program));
            Result r = Read();
            EXPECT_FALSE(r.ok);
            EXPECT_EQ(r.text, "Erreur taille de la ressource \"NIVAXEL\"");
            EXPECT_EQ(r.size, 5000);
            EXPECT_EQ(AsString(r.data, r.size), program)
                << "format " << format << " declared " << declared;
        }
    }
}

TEST_F(PayloadReader, CorruptStreamGivesNothingAndTheSizeTextUnlessZeroWasDeclared) {
    const std::string program = ProgramLike(20000);
    std::string stream = Deflate(program);
    for (std::size_t i = 40; i < 60; ++i)
        stream[i] = static_cast<char>(stream[i] ^ 0x5A);
    resources_.Add("NIVAXEL", Header(1, 20000) + stream);
    Result r = Read();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.data, nullptr);
    EXPECT_EQ(r.size, 0);
    EXPECT_EQ(r.text, "Erreur taille de la ressource \"NIVAXEL\"");

    resources_.Add("NIVAXEL", Header(1, 0) + stream);
    r = Read();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.data, nullptr);
    EXPECT_EQ(r.text, "");
}

TEST_F(PayloadReader, StreamCutShortGivesWhatWasInflatedSoFar) {
    const std::string program = ProgramLike(200000);
    const std::string stream = Deflate(program);
    resources_.Add("NIVAXEL", Header(1, 200000) + stream.substr(0, stream.size() / 2));
    Result r = Read();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.text, "Erreur taille de la ressource \"NIVAXEL\"");
    ASSERT_GT(r.size, 0);
    ASSERT_LT(r.size, 200000);
    EXPECT_EQ(AsString(r.data, r.size), program.substr(0, static_cast<std::size_t>(r.size)));
}

TEST_F(PayloadReader, BytesAfterTheStreamAreIgnored) {
    const std::string program = ProgramLike(70000);
    resources_.Add("NIVAXEL", Header(1, 70000) + Deflate(program) + std::string(3000, '\x78'));
    Result r = Read();
    EXPECT_TRUE(r.ok) << r.text;
    EXPECT_EQ(AsString(r.data, r.size), program);
}

TEST_F(PayloadReader, StreamWantingADictionaryEndsAsAFailure) {
    // A zlib header with the preset-dictionary flag, its dictionary id, then data.
    const std::string stream =
        std::string("\x78\xBB\x12\x34\x56\x78", 6) + Deflate(ProgramLike(4000));
    PayloadBuffer data;
    std::int32_t size = -1;
    const nv::InflateOutcome out =
        nv::InflateToBuffer(stream.data(), static_cast<std::int32_t>(stream.size()), data, size, 0);
    EXPECT_EQ(out.zlibCode, Z_NEED_DICT);
    EXPECT_STREQ(out.Text(), "Need dictionary");
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(size, 0);
    EXPECT_LE(out.inflateCalls, 2u);
    resources_.Add("NIVAXEL", Header(1, 4000) + stream);
    EXPECT_EQ(Read().text, "Erreur taille de la ressource \"NIVAXEL\"");
}

// A small stream that inflates far stops growing past the header's size;
// the answer is the one the whole stream would give.
TEST_F(PayloadReader, OutputPastTheHeaderSizeIsNotKept) {
    const std::string bomb = Deflate(std::string(1000000, 'A'));
    ASSERT_LT(bomb.size(), 1200u);
    // The last two no output can match: past 32 bits, past deflate's ratio.
    const std::int64_t beyondRatio = 1100 * static_cast<std::int64_t>(bomb.size());
    for (const std::int64_t declared :
         {std::int64_t{70000}, std::int64_t{-1}, std::int64_t{1} << 40, beyondRatio}) {
        resources_.Add("NIVAXEL", Header(1, declared) + bomb);
        Result r = Read();
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.text, "Erreur taille de la ressource \"NIVAXEL\"");
        ASSERT_GT(r.size, declared == 70000 ? declared : 0);
        EXPECT_LT(r.size, 70000 + 16 * 1024);
        EXPECT_EQ(AsString(r.data, r.size), std::string(static_cast<std::size_t>(r.size), 'A'));
    }

    // Corruption after the kept bytes still fails the inflation as a whole:
    // with a declared size of 0 that is false with an empty text.
    std::string corrupt = bomb;
    corrupt.back() ^= 0x5A; // the stream's check value
    resources_.Add("NIVAXEL", Header(1, 0) + corrupt);
    Result r = Read();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.data, nullptr);
    EXPECT_EQ(r.text, "");

    PayloadBuffer data;
    std::int32_t size = -1;
    const nv::InflateOutcome whole =
        nv::InflateToBuffer(bomb.data(), static_cast<std::int32_t>(bomb.size()), data, size, 0);
    ASSERT_TRUE(whole.ok());
    EXPECT_EQ(size, 1000000);
}

// The output grows by one step (input length rounded up to 256) per call.
TEST(InflateToBuffer, OneCallPerStepOfOutput) {
    struct Case {
        std::size_t size;
        std::int32_t estimate;
    };
    for (const Case c : {Case{300000, 0}, Case{616560, 0}, Case{50000, 0}, Case{99000, 100000}}) {
        const std::string program =
            c.size == 50000 ? std::string(c.size, 'A') : ProgramLike(c.size, 11);
        const std::string stream = Deflate(program);
        const std::int64_t step = (static_cast<std::int64_t>(stream.size()) + 255) / 256 * 256;
        const std::int64_t room = c.estimate ? c.estimate : step;
        // Calls needed: the first gives `room`, each further one `step` more.
        const std::int64_t extra =
            static_cast<std::int64_t>(c.size) > room
                ? (static_cast<std::int64_t>(c.size) - room + step - 1) / step
                : 0;
        ASSERT_NE((static_cast<std::int64_t>(c.size) - room) % step, 0)
            << "pick a size off the step";
        ASSERT_NE(static_cast<std::int64_t>(c.size), room);
        PayloadBuffer data;
        std::int32_t size = -1;
        const nv::InflateOutcome out = nv::InflateToBuffer(
            stream.data(), static_cast<std::int32_t>(stream.size()), data, size, c.estimate);
        ASSERT_TRUE(out.ok()) << out.Text();
        EXPECT_EQ(size, static_cast<std::int32_t>(c.size));
        EXPECT_EQ(AsString(data, size), program);
        EXPECT_EQ(out.inflateCalls, static_cast<unsigned>(1 + extra)) << c.size;
    }
}

TEST(InflateToBuffer, EmptyOrInvalidInputAndTheErrorTexts) {
    PayloadBuffer data;
    std::int32_t size = -1;
    nv::InflateOutcome out = nv::InflateToBuffer(nullptr, 0, data, size, 0);
    EXPECT_TRUE(out.ok());
    EXPECT_EQ(out.inflateCalls, 0u);
    EXPECT_EQ(size, 0);
    out = nv::InflateToBuffer(nullptr, -5, data, size, 0);
    EXPECT_FALSE(out.ok());
    out = nv::InflateToBuffer("garbage!", 8, data, size, 0);
    EXPECT_EQ(out.zlibCode, Z_DATA_ERROR);
    EXPECT_STREQ(out.Text(), "Data error");
    EXPECT_EQ(data, nullptr);

    const char* expected[] = {"Need dictionary",
                              "Stream end",
                              "OK",
                              "File error",
                              "Stream error",
                              "Data error",
                              "Insufficient memory",
                              "Buffer error",
                              "Incompatible version",
                              ""};
    for (int code = 2; code >= -7; --code)
        EXPECT_STREQ(nv::ZLibErrorText(code), expected[2 - code]) << code;
    EXPECT_STREQ(nv::ZLibErrorText(3), "");
    EXPECT_STREQ(nv::ZLibErrorText(-100), "");
    EXPECT_STREQ(nv::kPayloadNoMemoryText, "M\xE9moire insuffisante pour la ressource");
}

} // namespace
