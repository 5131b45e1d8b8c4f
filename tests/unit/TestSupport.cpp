#include "TestSupport.h"
#include "crypto/KxCpu.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>

Bytes FromHex(const std::string& hex) {
  if (hex.size() % 2) throw std::invalid_argument("odd hex length: " + hex);
  Bytes out;
  for (size_t i = 0; i < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::string ToHex(const uint8_t* data, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < size; ++i) {
    s += digits[data[i] >> 4];
    s += digits[data[i] & 15];
  }
  return s;
}

static std::string Trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

std::string VectorPath(const std::string& name) { return std::string(ZQV_VECTORS_DIR) + "/" + name; }

std::vector<std::vector<std::string>> ReadVectorFile(const std::string& name) {
  std::ifstream in(VectorPath(name));
  if (!in) throw std::runtime_error("cannot open vector file " + name);
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(in, line);) {
    if (Trim(line).empty() || Trim(line)[0] == '#') continue;
    std::vector<std::string> fields;
    std::stringstream ss(line);
    for (std::string f; std::getline(ss, f, '|');) fields.push_back(Trim(f));
    if (!line.empty() && line.back() == '|') fields.push_back("");
    rows.push_back(fields);
  }
  return rows;
}

Bytes ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::mt19937_64& TestRng() {
  static std::mt19937_64 rng = [] {
    uint64_t seed = std::random_device{}();
    if (const char* s = std::getenv("ZQV_TEST_SEED")) seed = std::strtoull(s, nullptr, 10);
    std::cerr << "random seed: ZQV_TEST_SEED=" << seed << "\n";
    return std::mt19937_64(seed);
  }();
  return rng;
}

Bytes RandomBytes(size_t size) {
  Bytes b(size);
  for (auto& x : b) x = static_cast<uint8_t>(TestRng()());
  return b;
}

int32_t VectorStream::Read(void* buffer, int32_t count) {
  ++reads;
  int64_t n = std::min<int64_t>({count, maxRead, Size() - position_});
  if (n <= 0) return 0;
  std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
  position_ += n;
  return static_cast<int32_t>(n);
}

int32_t VectorStream::Write(const void* buffer, int32_t count) {
  ++writes;
  int64_t n = std::min<int64_t>(count, capacity - position_);
  if (n <= 0) return 0;
  if (static_cast<size_t>(position_ + n) > data_.size()) data_.resize(static_cast<size_t>(position_ + n));
  std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(n));
  position_ += n;
  return static_cast<int32_t>(n);
}

bool VectorStream::SetPosition(int64_t position) {
  if (position < 0 || position > Size()) return false;
  position_ = position;
  return true;
}

// ZQV_CPU narrows the core's instruction sets for the whole run, as in the tool, so that CTest
// runs every test on the fast and on the portable paths.
namespace {
class CpuLimitEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    uint32_t allowed = ~0u;
    ASSERT_TRUE(ParseCpuLimit(std::getenv("ZQV_CPU"), allowed)) << "bad ZQV_CPU";
    LimitCpuFeatures(allowed);
  }
};
[[maybe_unused]] ::testing::Environment* const kCpuLimit =
    ::testing::AddGlobalTestEnvironment(new CpuLimitEnvironment);
}  // namespace
