// Helpers shared by the unit tests: hex, vector files, random data with a printed seed.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "crypto/Stream.h"

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string& hex);
std::string ToHex(const uint8_t* data, size_t size);
inline std::string ToHex(const Bytes& b) { return ToHex(b.data(), b.size()); }

// The rows of a vector file: fields split at '|' and trimmed; '#' lines skipped.
std::vector<std::vector<std::string>> ReadVectorFile(const std::string& name);
Bytes ReadFileBytes(const std::string& path);
std::string VectorPath(const std::string& name);

// A generator seeded from ZQV_TEST_SEED when set, else at random; the seed is printed once so
// that a failing run can be repeated.
std::mt19937_64& TestRng();
Bytes RandomBytes(size_t size);

// A growable in-memory stream for tests; `maxRead` caps each Read to provoke short reads,
// `capacity` caps the size to provoke short writes.
class VectorStream final : public Stream {
 public:
  explicit VectorStream(Bytes data = {}) : data_(std::move(data)) {}
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Position() override { return position_; }
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }
  bool SetPosition(int64_t position) override;

  const Bytes& data() const { return data_; }
  int32_t maxRead = INT32_MAX;
  int64_t capacity = INT64_MAX;
  int reads = 0, writes = 0;

 private:
  Bytes data_;
  int64_t position_ = 0;
};
