#include "http/data_compressor.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <type_traits>
#include <utility>

#include "platform/files.h"
#include "platform/format.h"

namespace est {
namespace {

constexpr size_t kFilePiece = 262144;
// Growth step floor, so a one-byte piece that inflates to megabytes does not crawl.
constexpr size_t kMinGrowth = 16384;
// Honest text rarely inflates beyond 1000:1 at these sizes; zeros from a bomb do.
constexpr std::uint64_t kRatioGuardFrom = 4u << 20;
constexpr std::uint64_t kMaxRatio = 1000;
// Input pieces for a counting pass: small, so one piece never inflates to much.
constexpr size_t kCountingPiece = 4096;

Error zlibError(const char* fmt, int result) {
  return Error(NetworkRequestErrorDomain, CompressionError,
               strprintf(fmt, static_cast<short>(result)));
}

Error fileError(const char* verb, const char* what, const std::string& source,
                const std::string* destination = nullptr) {
  std::string text = strprintf("%s of %s failed %s", verb, source.c_str(), what);
  if (destination) text += *destination;
  return Error(NetworkRequestErrorDomain, CompressionError, std::move(text));
}

// Reads up to `want` bytes, retrying short reads; returns the count or -1 on error.
long readPiece(std::ifstream& in, std::uint8_t* buf, size_t want) {
  in.read(reinterpret_cast<char*>(buf), static_cast<std::streamsize>(want));
  if (in.bad()) return -1;
  return static_cast<long>(in.gcount());
}

// The output goes to a new file beside the destination, created exclusively (never through a
// link) under a random name, and takes the destination's place only once it is whole: a
// failure leaves an existing destination as it was.
class ReplacingFile {
 public:
  explicit ReplacingFile(std::string destination) : destination_(std::move(destination)) {
    for (int attempt = 0; attempt < 8 && fd_ < 0; ++attempt) {
      unsigned long long random = 0;
      if (::getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return;
      path_ = destination_ + strprintf(".part-%016llx", random);
      fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (fd_ < 0 && errno != EEXIST) return;
    }
  }
  ~ReplacingFile() {
    if (fd_ >= 0) {
      ::close(fd_);
      ::unlink(path_.c_str());
    }
  }
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  bool opened() const { return fd_ >= 0; }
  bool write(const Data& bytes) {
    return writeAll(fd_, reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  bool commit() {
    int fd = std::exchange(fd_, -1);
    bool ok = ::close(fd) == 0 && ::rename(path_.c_str(), destination_.c_str()) == 0;
    if (!ok) ::unlink(path_.c_str());
    return ok;
  }

 private:
  std::string destination_;
  std::string path_;
  int fd_ = -1;
};

}  // namespace

struct DataDecompressor::Stream {
  z_stream z{};
  bool ended = false;  // the compressed stream reached its end marker
};
struct DataCompressor::Stream {
  z_stream z{};
};

// ---- inflate ----

DataDecompressor::DataDecompressor() : zStream_(std::make_unique<Stream>()) {}
DataDecompressor::~DataDecompressor() {
  closeStream();
}

std::unique_ptr<DataDecompressor> DataDecompressor::decompressor(Error* error) {
  std::unique_ptr<DataDecompressor> d(new DataDecompressor());
  if (!d->setupStream(error)) return nullptr;
  return d;
}

bool DataDecompressor::setupStream(Error* error) {
  if (streamReady_) return true;
  zStream_->z = z_stream{};
  int status = inflateInit2(&zStream_->z, 15 + 32);
  if (status != Z_OK) {
    Error::assign(error, zlibError("Decompression of data failed with code %hi", status));
    return false;
  }
  streamReady_ = true;
  zStream_->ended = false;
  return true;
}

bool DataDecompressor::closeStream(Error* error) {
  if (!streamReady_) return true;
  streamReady_ = false;
  int status = inflateEnd(&zStream_->z);
  if (status != Z_OK) {
    Error::assign(error, zlibError("Decompression of data failed with code %hi", status));
    return false;
  }
  return true;
}

std::optional<Data> DataDecompressor::uncompressBytes(const std::uint8_t* bytes, size_t length,
                                                      Error* error) {
  if (length == 0 || zStream_->ended) return Data{};
  if (!streamReady_ && !setupStream(error)) return std::nullopt;

  z_stream& z = zStream_->z;
  const size_t growth = std::max(length / 2, kMinGrowth);
  Data out(length + length / 2);
  size_t written = 0;
  z.next_in = const_cast<Bytef*>(bytes);
  z.avail_in = static_cast<uInt>(length);

  // Keep going while input remains or zlib filled the buffer and may hold more output.
  for (;;) {
    if (written >= out.size()) out.resize(out.size() + growth);
    z.next_out = out.data() + written;
    z.avail_out = static_cast<uInt>(out.size() - written);
    int status = inflate(&z, Z_NO_FLUSH);
    written = out.size() - z.avail_out;
    if (!withinLimits(error)) return std::nullopt;
    if (status == Z_STREAM_END) {
      zStream_->ended = true;
      break;
    }
    if (status == Z_BUF_ERROR && z.avail_in == 0) break;  // needs the next piece
    if (status != Z_OK) {
      Error::assign(error, zlibError("Decompression of data failed with code %hi", status));
      return std::nullopt;
    }
    if (z.avail_in == 0 && z.avail_out != 0) break;
  }
  out.resize(written);
  return out;
}

bool DataDecompressor::withinLimits(Error* error) const {
  const z_stream& z = zStream_->z;
  std::uint64_t out = z.total_out;
  if (limits_.maxBytes && out > limits_.maxBytes) {
    Error::assign(error, Error(NetworkRequestErrorDomain, CompressionError,
                               strprintf("The response inflates beyond the limit of %llu bytes",
                                         static_cast<unsigned long long>(limits_.maxBytes))));
    return false;
  }
  if (limits_.guardRatio && out > kRatioGuardFrom &&
      out / std::max<std::uint64_t>(z.total_in, 1) > kMaxRatio) {
    Error::assign(error, Error(NetworkRequestErrorDomain, CompressionError,
                               "The response inflates more than 1000 times its compressed size"));
    return false;
  }
  return true;
}

bool DataDecompressor::inflatesWithinLimits(const Data& data, InflateLimits limits, Error* error) {
  auto d = decompressor();
  if (!d) return true;
  d->setLimits(limits);
  for (size_t at = 0; at < data.size() && !d->zStream_->ended; at += kCountingPiece) {
    Error err;
    if (d->uncompressBytes(data.data() + at, std::min(kCountingPiece, data.size() - at), &err))
      continue;
    if (d->withinLimits(nullptr)) return true;  // broken, not too big: not this check's call
    Error::assign(error, err);
    return false;
  }
  return true;
}

std::optional<Data> DataDecompressor::uncompressData(const Data& data, Error* error,
                                                     InflateLimits limits) {
  if (data.empty()) return Data{};
  auto d = decompressor(error);
  if (!d) return std::nullopt;
  d->setLimits(limits);
  auto out = d->uncompressBytes(data.data(), data.size(), error);
  if (!out) return std::nullopt;
  // A body cut short is not a whole body: say so instead of handing back a fragment.
  if (!d->zStream_->ended) {
    Error::assign(error, zlibError("Decompression of data failed with code %hi", Z_BUF_ERROR));
    return std::nullopt;
  }
  if (!d->closeStream(error)) return std::nullopt;
  return out;
}

template <class Processor, class Step>
static bool processFile(const char* verb, const std::string& source, const std::string& destination,
                        Processor& processor, Step step, Error* error) {
  ReplacingFile out(destination);
  if (!out.opened()) {
    std::string dest = destination;
    Error::assign(error, fileError(verb, "because we were to create a file at ", source, &dest));
    return false;
  }
  std::error_code ec;
  if (!std::filesystem::exists(source, ec)) {
    Error::assign(error, fileError(verb, "the file does not exist", source));
    return false;
  }
  std::ifstream in(source, std::ios::binary);
  if (!in) {
    Error::assign(
        error, fileError(verb, "because we were unable to read from the source data file", source));
    return false;
  }
  std::vector<std::uint8_t> buf(kFilePiece);
  bool first = true;
  for (;;) {
    long n = readPiece(in, buf.data(), buf.size());
    if (n < 0) {
      Error::assign(
          error,
          fileError(verb, "because we were unable to read from the source data file", source));
      return false;
    }
    bool last = static_cast<size_t>(n) < buf.size();
    if (first && n == 0 && std::is_same_v<Processor, DataDecompressor>)
      break;  // empty in, empty out
    first = false;
    std::optional<Data> piece = step(processor, buf.data(), static_cast<size_t>(n), last, error);
    if (!piece) return false;
    if (!out.write(*piece)) {
      // The destination's path is not filled in here: the message has always read "&@".
      Error::assign(error, fileError(verb,
                                     "because we were unable to write to the destination data "
                                     "file at &@",
                                     source));
      return false;
    }
    if (last) break;
  }
  if (!processor.closeStream(error)) return false;
  if (!out.commit()) {
    Error::assign(error, fileError(verb,
                                   "because we were unable to write to the destination data "
                                   "file at &@",
                                   source));
    return false;
  }
  return true;
}

bool DataDecompressor::uncompressDataFromFile(const std::string& source,
                                              const std::string& destination, Error* error,
                                              InflateLimits limits) {
  auto d = decompressor(error);
  if (!d) return false;
  d->setLimits(limits);
  auto step = [](DataDecompressor& dd, const std::uint8_t* b, size_t n, bool last,
                 Error* err) -> std::optional<Data> {
    auto piece = dd.uncompressBytes(b, n, err);
    if (piece && last && !dd.zStream_->ended) {
      Error::assign(err, zlibError("Decompression of data failed with code %hi", Z_BUF_ERROR));
      return std::nullopt;
    }
    return piece;
  };
  return processFile("Decompression", source, destination, *d, step, error);
}

// ---- deflate ----

DataCompressor::DataCompressor() : zStream_(std::make_unique<Stream>()) {}
DataCompressor::~DataCompressor() {
  closeStream();
}

std::unique_ptr<DataCompressor> DataCompressor::compressor(Error* error) {
  std::unique_ptr<DataCompressor> c(new DataCompressor());
  if (!c->setupStream(error)) return nullptr;
  return c;
}

bool DataCompressor::setupStream(Error* error) {
  if (streamReady_) return true;
  zStream_->z = z_stream{};
  int status =
      deflateInit2(&zStream_->z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  if (status != Z_OK) {
    Error::assign(error, zlibError("Compression of data failed with code %hi", status));
    return false;
  }
  streamReady_ = true;
  return true;
}

bool DataCompressor::closeStream(Error* error) {
  if (!streamReady_) return true;
  streamReady_ = false;
  int status = deflateEnd(&zStream_->z);
  // Ending before the finishing piece reports Z_DATA_ERROR; the state is freed either way.
  if (status != Z_OK && status != Z_DATA_ERROR) {
    Error::assign(error, zlibError("Compression of data failed with code %hi", status));
    return false;
  }
  return true;
}

std::optional<Data> DataCompressor::compressBytes(const std::uint8_t* bytes, size_t length,
                                                  bool shouldFinish, Error* error) {
  // An empty last piece still has to close the gzip stream.
  if (length == 0 && !shouldFinish) return Data{};
  if (!streamReady_ && !setupStream(error)) return std::nullopt;

  z_stream& z = zStream_->z;
  const size_t growth = std::max(length / 2, kMinGrowth);
  Data out(std::max<size_t>(length / 2, 64));
  size_t written = 0;
  z.next_in = const_cast<Bytef*>(bytes);
  z.avail_in = static_cast<uInt>(length);
  const int flush = shouldFinish ? Z_FINISH : Z_NO_FLUSH;

  for (;;) {
    if (written >= out.size()) out.resize(out.size() + growth);
    z.next_out = out.data() + written;
    z.avail_out = static_cast<uInt>(out.size() - written);
    int status = deflate(&z, flush);
    written = out.size() - z.avail_out;
    if (status == Z_STREAM_END) break;
    if (status == Z_BUF_ERROR && z.avail_in == 0 && !shouldFinish) break;
    if (status != Z_OK && status != Z_BUF_ERROR) {
      Error::assign(error, zlibError("Compression of data failed with code %hi", status));
      return std::nullopt;
    }
    if (!shouldFinish && z.avail_in == 0 && z.avail_out != 0) break;
  }
  out.resize(written);
  return out;
}

std::optional<Data> DataCompressor::compressData(const Data& data, Error* error) {
  if (data.empty()) return Data{};
  auto c = compressor(error);
  if (!c) return std::nullopt;
  auto out = c->compressBytes(data.data(), data.size(), true, error);
  if (!out || !c->closeStream(error)) return std::nullopt;
  return out;
}

bool DataCompressor::compressDataFromFile(const std::string& source, const std::string& destination,
                                          Error* error) {
  auto c = compressor(error);
  if (!c) return false;
  auto step = [](DataCompressor& cc, const std::uint8_t* b, size_t n, bool last, Error* err) {
    return cc.compressBytes(b, n, last, err);
  };
  return processFile("Compression", source, destination, *c, step, error);
}

}  // namespace est
