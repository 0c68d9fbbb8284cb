#include "http/data_compressor.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "http/support/nginx_server.h"
#include "http/support/test_server.h"

namespace est {
namespace {

namespace fs = std::filesystem;

Data randomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Data d(n);
  for (auto& b : d) b = static_cast<std::uint8_t>(rng());
  return d;
}

Data zlibWrapped(const Data& plain) {
  uLongf len = compressBound(plain.size());
  Data out(len);
  EXPECT_EQ(compress(out.data(), &len, plain.data(), plain.size()), Z_OK);
  out.resize(len);
  return out;
}

Data rawDeflate(const Data& plain) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  Data out(plain.size() + 64);
  z.next_in = const_cast<Bytef*>(plain.data());
  z.avail_in = static_cast<uInt>(plain.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

TEST(DataCompressor, RoundTripsWithGzipFramingInflatesZlibAndRejectsRawDeflate) {
  Data plain = toData(std::string(1000, 'q') + "tail");
  Error err;
  auto packed = DataCompressor::compressData(plain, &err);
  ASSERT_TRUE(packed && packed->size() >= 2u);
  EXPECT_EQ((*packed)[0], 0x1F);
  EXPECT_EQ((*packed)[1], 0x8B);
  EXPECT_EQ(DataDecompressor::uncompressData(*packed, &err), plain);
  EXPECT_EQ(DataDecompressor::uncompressData(zlibWrapped(plain)), plain);
  // Empty in, empty out, and no error.
  EXPECT_EQ(DataDecompressor::uncompressData({}, &err), Data{});
  EXPECT_EQ(DataCompressor::compressData({}, &err), Data{});
  EXPECT_EQ(err.code, 0);

  EXPECT_FALSE(DataDecompressor::uncompressData(rawDeflate(plain), &err));
  EXPECT_EQ(err.domain, "HTTPRequestErrorDomain");
  EXPECT_EQ(err.code, 11);
  EXPECT_EQ(err.description, "Decompression of data failed with code -3");
}

TEST(DataCompressor, HighlyCompressibleBodyComesOutWhole) {
  Data plain(50 * 1024 * 1024, 'a');
  auto packed = DataCompressor::compressData(plain);
  ASSERT_TRUE(packed);
  EXPECT_LT(packed->size(), plain.size() / 500);
  EXPECT_EQ(DataDecompressor::uncompressData(*packed), plain);
}

TEST(DataCompressor, StreamsPiecesOfAnySize) {
  Data plain = randomBytes(300000, 7);
  plain.insert(plain.end(), 200000, 'z');
  auto c = DataCompressor::compressor();
  ASSERT_TRUE(c);
  Data packed;
  for (size_t at = 0; at < plain.size(); at += 12345) {
    size_t n = std::min<size_t>(12345, plain.size() - at);
    bool last = at + n == plain.size();
    auto piece = c->compressBytes(plain.data() + at, n, last);
    ASSERT_TRUE(piece);
    packed.insert(packed.end(), piece->begin(), piece->end());
  }
  EXPECT_TRUE(c->closeStream());

  // Feed the inflater one byte at a time: the worst case for buffer growth.
  auto d = DataDecompressor::decompressor();
  ASSERT_TRUE(d);
  Data back;
  for (std::uint8_t byte : packed) {
    auto piece = d->uncompressBytes(&byte, 1);
    ASSERT_TRUE(piece);
    back.insert(back.end(), piece->begin(), piece->end());
  }
  EXPECT_EQ(back, plain);
}

TEST(DataCompressor, TruncatedOrCorruptedBodiesFailWithCode11) {
  Data plain = randomBytes(100000, 3);
  auto packed = DataCompressor::compressData(plain);
  ASSERT_TRUE(packed);

  Data cut(packed->begin(), packed->begin() + static_cast<long>(packed->size() / 2));
  Error err;
  EXPECT_FALSE(DataDecompressor::uncompressData(cut, &err));
  EXPECT_EQ(err.code, 11);

  // Flip bytes all over the body; none may crash, and none may come back as the original.
  for (size_t i = 10; i < packed->size(); i += packed->size() / 37 + 1) {
    Data bad = *packed;
    bad[i] ^= 0x5A;
    auto out = DataDecompressor::uncompressData(bad);
    if (out) {
      EXPECT_NE(*out, plain);
    }
  }
}

class CompressorFiles : public ::testing::Test {
 protected:
  void write(const fs::path& p, const Data& d) {
    testing::writeFile(p, std::string_view(reinterpret_cast<const char*>(d.data()), d.size()));
  }
  Data read(const fs::path& p) { return toData(testing::slurp(p)); }
  testing::TempDir tmp;
  fs::path dir = tmp.path();
};

TEST_F(CompressorFiles, RoundTripAcrossPieceBoundaries) {
  // Exactly two pieces, one more than that, and empty: the edges of the 256 KiB reader.
  for (size_t size : {size_t{2 * 262144}, size_t{262145}, size_t{0}}) {
    Data plain = randomBytes(size, static_cast<unsigned>(size));
    write(dir / "in", plain);
    Error err;
    ASSERT_TRUE(DataCompressor::compressDataFromFile(dir / "in", dir / "in.gz", &err))
        << err.description;
    ASSERT_TRUE(DataDecompressor::uncompressDataFromFile(dir / "in.gz", dir / "out", &err))
        << err.description;
    EXPECT_EQ(read(dir / "out"), plain) << size;
  }
}

TEST_F(CompressorFiles, ReportsMissingOrTruncatedSourceAndUncreatableDestination) {
  Error err;
  std::string missing = (dir / "missing.gz").string();
  EXPECT_FALSE(DataDecompressor::uncompressDataFromFile(missing, dir / "out", &err));
  EXPECT_EQ(err.code, 11);
  EXPECT_EQ(err.description, "Decompression of " + missing + " failed the file does not exist");

  auto packed = DataCompressor::compressData(randomBytes(600000, 11));
  ASSERT_TRUE(packed);
  packed->resize(packed->size() - 100);
  write(dir / "cut.gz", *packed);
  err = {};
  EXPECT_FALSE(DataDecompressor::uncompressDataFromFile(dir / "cut.gz", dir / "out", &err));
  EXPECT_EQ(err.code, 11);

  // A failure leaves what was at the destination, and nothing beside it.
  write(dir / "out", toData("kept"));
  EXPECT_FALSE(DataDecompressor::uncompressDataFromFile(dir / "cut.gz", dir / "out", &err));
  EXPECT_FALSE(DataDecompressor::uncompressDataFromFile(missing, dir / "out", &err));
  EXPECT_EQ(read(dir / "out"), toData("kept"));
  std::vector<std::string> names;
  for (auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"cut.gz", "out"}));

  write(dir / "in", toData("x"));
  std::string bad = (dir / "no" / "such" / "dir" / "out").string();
  EXPECT_FALSE(DataCompressor::compressDataFromFile(dir / "in", bad, &err));
  EXPECT_EQ(err.description, "Compression of " + (dir / "in").string() +
                                 " failed because we were to create a file at " + bad);
}

}  // namespace
}  // namespace est
