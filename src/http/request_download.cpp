#include "http/download_destination.h"
#include "http/request_engine.h"
#include "platform/format.h"

namespace est {

// A body that will never be whole leaves nothing behind, unless it is kept to resume.
void HTTPRequest::Impl::dropWorkFiles() {
  downloadFile.close();
  inflatedFile.close();
  if (!r.allowResumeForFileDownloads_) {
    removeFileQuietly(r.temporaryFileDownloadPath_);
    if (!r.temporaryFileDownloadPath_.empty()) r.temporaryFileDownloadPath_.clear();
  }
  removeFileQuietly(r.temporaryUncompressedDataDownloadPath_);
  r.temporaryUncompressedDataDownloadPath_.clear();
}

void HTTPRequest::Impl::failWriting(const std::string& path) {
  failWithError(fileWriteError(path));
  cancelLoad();
}

bool HTTPRequest::Impl::openDownloadFiles() {
  if (downloadFile.isOpen()) return true;
  if (r.temporaryFileDownloadPath_.empty()) r.temporaryFileDownloadPath_ = makeTemporaryPath();
  bool append = false;
  if (r.allowResumeForFileDownloads_ && r.partialDownloadSize_ > 0) {
    if (r.responseHeaders_.contains("Content-Range")) {
      append = true;
      // What is already on disk counts as received, as it was counted as expected.
      appendedPartial = r.partialDownloadSize_;
      reportReceived(static_cast<long long>(appendedPartial));
    } else {
      // The server sent the whole body again: the part on disk is not expected after all.
      announceDownload(-static_cast<long long>(r.partialDownloadSize_));
      r.partialDownloadSize_ = 0;
    }
  }
  if (!downloadFile.open(r.temporaryFileDownloadPath_, append)) {
    failWriting(r.temporaryFileDownloadPath_);
    return false;
  }
  if (gzipBody && !r.shouldWaitToInflateCompressedResponses_) {
    if (r.temporaryUncompressedDataDownloadPath_.empty())
      r.temporaryUncompressedDataDownloadPath_ = makeTemporaryPath();
    if (!inflatedFile.open(r.temporaryUncompressedDataDownloadPath_, false)) {
      failWriting(r.temporaryUncompressedDataDownloadPath_);
      return false;
    }
  }
  return true;
}

std::optional<Error> HTTPRequest::Impl::completeDownloadFile() {
  downloadFile.close();
  inflatedFile.close();
  if (r.downloadDestinationPath_.empty() || wantsData()) return std::nullopt;
  if (r.needsRedirect_ && r.allowResumeForFileDownloads_) return std::nullopt;
  // An empty body still leaves a (empty) file behind.
  if (!downloadFile.isOpen() && !fileExists(r.temporaryFileDownloadPath_)) {
    if (!openDownloadFiles()) return r.error_;
    downloadFile.close();
    inflatedFile.close();
  }
  const std::string& dest = r.downloadDestinationPath_;
  std::optional<Error> result;
  if (gzipBody && !r.shouldWaitToInflateCompressedResponses_) {
    result = placeDownloadedFile(r.temporaryUncompressedDataDownloadPath_, dest);
    r.temporaryUncompressedDataDownloadPath_.clear();
    removeFileQuietly(r.temporaryFileDownloadPath_);
  } else if (gzipBody) {
    Error err;
    std::string inflated = makeTemporaryPath();
    if (DataDecompressor::uncompressDataFromFile(r.temporaryFileDownloadPath_, inflated, &err,
                                                 inflateLimits()))
      result = placeDownloadedFile(inflated, dest);
    else
      result = err;
    removeFileQuietly(inflated);
    removeFileQuietly(r.temporaryFileDownloadPath_);
  } else {
    result = placeDownloadedFile(r.temporaryFileDownloadPath_, dest);
  }
  r.temporaryFileDownloadPath_.clear();
  return result;
}

}  // namespace est
