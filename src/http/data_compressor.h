#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/data.h"
#include "platform/error.h"

namespace est {

// Error domain of the HTTP client; compression failures use code 11.
inline constexpr const char* NetworkRequestErrorDomain = "HTTPRequestErrorDomain";
inline constexpr int CompressionError = 11;

// Bounds against a decompression bomb; breaking one fails with code 11.
struct InflateLimits {
  std::uint64_t maxBytes = 0;  // of output; 0: none
  bool guardRatio = false;     // past a few MiB, no more than 1000 bytes out per byte in
};

// Streaming gzip/zlib inflater for reply bodies (header detected automatically).
class DataDecompressor {
 public:
  // A ready decompressor, or nothing (and `error`) when zlib cannot set up its state.
  static std::unique_ptr<DataDecompressor> decompressor(Error* error = nullptr);
  ~DataDecompressor();
  DataDecompressor(const DataDecompressor&) = delete;
  DataDecompressor& operator=(const DataDecompressor&) = delete;

  // Inflates one piece; empty input gives nothing without an error. Bytes after the end of
  // the compressed stream are ignored.
  std::optional<Data> uncompressBytes(const std::uint8_t* bytes, size_t length,
                                      Error* error = nullptr);
  // Ends the zlib state once; later calls do nothing.
  bool closeStream(Error* error = nullptr);
  bool streamReady() const { return streamReady_; }
  void setLimits(InflateLimits limits) { limits_ = limits; }

  static std::optional<Data> uncompressData(const Data& data, Error* error = nullptr,
                                            InflateLimits limits = {});
  static bool uncompressDataFromFile(const std::string& source, const std::string& destination,
                                     Error* error = nullptr, InflateLimits limits = {});
  // False (and `error`) only when inflating `data` would break the limits; the output is
  // counted, never held whole.
  static bool inflatesWithinLimits(const Data& data, InflateLimits limits, Error* error);

 private:
  DataDecompressor();
  bool setupStream(Error* error);
  bool withinLimits(Error* error) const;
  struct Stream;
  std::unique_ptr<Stream> zStream_;
  bool streamReady_ = false;
  InflateLimits limits_;
};

// Streaming gzip deflater for request bodies.
class DataCompressor {
 public:
  static std::unique_ptr<DataCompressor> compressor(Error* error = nullptr);
  ~DataCompressor();
  DataCompressor(const DataCompressor&) = delete;
  DataCompressor& operator=(const DataCompressor&) = delete;

  // Deflates one piece; the last piece must come with `shouldFinish` set.
  std::optional<Data> compressBytes(const std::uint8_t* bytes, size_t length, bool shouldFinish,
                                    Error* error = nullptr);
  bool closeStream(Error* error = nullptr);
  bool streamReady() const { return streamReady_; }

  static std::optional<Data> compressData(const Data& data, Error* error = nullptr);
  static bool compressDataFromFile(const std::string& source, const std::string& destination,
                                   Error* error = nullptr);

 private:
  DataCompressor();
  bool setupStream(Error* error);
  struct Stream;
  std::unique_ptr<Stream> zStream_;
  bool streamReady_ = false;
};

}  // namespace est
