#include "http/data_compressor.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <type_traits>

#include "platform/format.h"

namespace est {
namespace {

constexpr size_t kFilePiece = 262144;
// Growth step floor, so a one-byte piece that inflates to megabytes does not crawl.
constexpr size_t kMinGrowth = 16384;

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

std::optional<Data> DataDecompressor::uncompressData(const Data& data, Error* error) {
  if (data.empty()) return Data{};
  auto d = decompressor(error);
  if (!d) return std::nullopt;
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
  {
    std::ofstream create(destination, std::ios::binary | std::ios::trunc);
    if (!create) {
      std::string dest = destination;
      Error::assign(error, fileError(verb, "because we were to create a file at ", source, &dest));
      return false;
    }
  }
  std::error_code ec;
  if (!std::filesystem::exists(source, ec)) {
    Error::assign(error, fileError(verb, "the file does not exist", source));
    return false;
  }
  std::ifstream in(source, std::ios::binary);
  std::ofstream out(destination, std::ios::binary | std::ios::trunc);
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
    out.write(reinterpret_cast<const char*>(piece->data()),
              static_cast<std::streamsize>(piece->size()));
    if (!out) {
      // The destination's path is not filled in here: the message has always read "&@".
      Error::assign(error, fileError(verb,
                                     "because we were unable to write to the destination data "
                                     "file at &@",
                                     source));
      return false;
    }
    if (last) break;
  }
  out.flush();
  if (!out) {
    Error::assign(error, fileError(verb,
                                   "because we were unable to write to the destination data "
                                   "file at &@",
                                   source));
    return false;
  }
  return processor.closeStream(error);
}

bool DataDecompressor::uncompressDataFromFile(const std::string& source,
                                              const std::string& destination, Error* error) {
  auto d = decompressor(error);
  if (!d) return false;
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
