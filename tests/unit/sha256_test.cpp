#include "core/bytes/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

std::string hex(const unsigned char* bytes, std::size_t count)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += "0123456789abcdef"[bytes[i] >> 4];
        text += "0123456789abcdef"[bytes[i] & 15];
    }
    return text;
}

// The digest of data fed in pieces of at most piece bytes; portable: the
// rounds in plain C++ even where the processor has SHA instructions.
std::string digestOf(const std::string& data, std::size_t piece, bool portable)
{
    Sha256 sha;
    startSha256(sha);
    if (portable)
        sha.useShaInstructions = false;
    for (std::size_t at = 0; at < data.size(); at += piece)
        feedSha256(sha, data.data() + at, std::min(piece, data.size() - at));
    unsigned char digest[sha256Size];
    finishSha256(sha, digest);
    return hex(digest, sizeof digest);
}

} // namespace

// The FIPS 180-4 examples, and lengths around the padding's edges, fed
// whole and in pieces that straddle the 64-byte blocks, by the portable
// rounds and by the processor's SHA instructions where it has them.
TEST(Sha256, MatchesTheStandardsVectorsHoweverFed)
{
    const struct {
        std::string data;
        std::string digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.data.size());
        for (bool portable : {false, true})
            for (std::size_t piece : {std::size_t{1000000}, std::size_t{1}, std::size_t{63}, std::size_t{65}})
                EXPECT_EQ(digestOf(c.data, piece, portable), c.digest)
                    << "pieces of " << piece << (portable ? ", portable" : "");
    }
}
