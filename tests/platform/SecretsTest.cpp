#include "platform/UnitSecrets.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using UnitSecrets::TSecretBytes;
using UnitSecrets::TSecretString;

namespace {

// Whether any byte of the string's buffer (up to its capacity) is not zero.
bool BufferHoldsAnything(const std::string& text)
{
    const char* buffer = text.data();
    for (size_t i = 0; i < text.capacity(); ++i)
        if (buffer[i] != '\0')
            return true;
    return false;
}

}  // namespace

TEST(Secrets, AMovedSecretLeavesNothingWhereItWas)
{
    // A short text lives inside the string object: a plain move would copy its characters
    // and leave them behind in the moved-from object.
    TSecretString shortPin(std::string("1234"));
    TSecretString taken(std::move(shortPin));
    EXPECT_EQ(taken.Text(), "1234");
    EXPECT_TRUE(shortPin.empty());
    EXPECT_FALSE(BufferHoldsAnything(shortPin.Text()));

    TSecretString assigned;
    assigned = std::move(taken);
    EXPECT_EQ(assigned.Text(), "1234");
    EXPECT_FALSE(BufferHoldsAnything(taken.Text()));

    // A long one moves its buffer along; the moved-from object is left with nothing.
    TSecretString longKey(std::string(200, 'k'));
    TSecretString longTaken(std::move(longKey));
    EXPECT_EQ(longTaken.Text(), std::string(200, 'k'));
    EXPECT_FALSE(BufferHoldsAnything(longKey.Text()));
}

TEST(Secrets, AssignmentAndWipeOverwriteTheWholeBuffer)
{
    TSecretString secret(std::string(100, 'p'));
    const char* buffer = secret.Text().data();
    // A shorter value assigned over a longer one reuses the buffer: its tail is no secret.
    secret = TSecretString(std::string("short"));
    ASSERT_EQ(secret.Text().data(), buffer);
    EXPECT_EQ(secret.Text(), "short");
    for (size_t i = secret.Text().size(); i < secret.Text().capacity(); ++i)
        ASSERT_EQ(buffer[i], '\0') << i;
    secret.Wipe();
    EXPECT_TRUE(secret.empty());
    EXPECT_FALSE(BufferHoldsAnything(secret.Text()));

    std::string plain = "password";
    UnitSecrets::WipeText(plain);
    EXPECT_TRUE(plain.empty());
    EXPECT_FALSE(BufferHoldsAnything(plain));

    std::vector<uint8_t> raw(64, 0xAB);
    const uint8_t* bytes = raw.data();
    TSecretBytes key(std::move(raw));
    EXPECT_EQ(key.data(), bytes);  // adopted, not copied
    TSecretBytes moved = std::move(key);
    EXPECT_EQ(moved.data(), bytes);
    EXPECT_TRUE(key.empty());
    moved.Wipe();
    EXPECT_TRUE(moved.empty());
}
