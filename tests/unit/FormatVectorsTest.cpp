// Known answers for the format's own algorithms, computed by an independent implementation.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "crypto/KxCipher.h"

TEST(FormatVectors, RdgKeysFromPasswords) {
  const auto rows = ReadVectorFile("rdg.txt");
  ASSERT_EQ(rows.size(), 28u);
  for (const auto& row : rows) {
    ASSERT_EQ(row.size(), 3u);
    const Bytes password = FromHex(row[0]);
    const int size = std::stoi(row[1]);
    Bytes key(static_cast<size_t>(size));
    RdgOfBuffer(key.data(), size, password.data(), static_cast<int32_t>(password.size()));
    EXPECT_EQ(ToHex(key), row[2]) << "password " << row[0] << " size " << size;
  }
}

TEST(FormatVectors, MxcBlocks) {
  const auto rows = ReadVectorFile("mxc.txt");
  ASSERT_GE(rows.size(), 8u);
  for (const auto& row : rows) {
    const Bytes key = FromHex(row[0]);
    Bytes block = FromHex(row[2]);
    MxcContext context;
    MxcInitKey(key.data(), context, std::stoi(row[1]), true);
    MxcBlock(context, block.data());
    EXPECT_EQ(ToHex(block), row[3]) << "rounds " << row[1];
    MxcInitKey(key.data(), context, std::stoi(row[1]), false);
    MxcBlock(context, block.data());
    EXPECT_EQ(ToHex(block), row[2]) << "decrypt, rounds " << row[1];
  }
}

TEST(FormatVectors, BlowfishBlocks) {
  const auto rows = ReadVectorFile("blowfish.txt");
  ASSERT_GE(rows.size(), 4u);
  for (const auto& row : rows) {
    const Bytes key = FromHex(row[0]);
    Bytes block = FromHex(row[1]);
    BlowfishContext context;
    BlowfishInitKey(key.data(), context);
    BlowfishBlock(context, block.data(), true);
    EXPECT_EQ(ToHex(block), row[2]) << "key " << row[0];
  }
}
