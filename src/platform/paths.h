#pragma once

#include <filesystem>
#include <string>

#include "platform/error.h"

namespace est {

// The name the per-user folders are made from ("estacionamiento" unless set at start-up).
std::string applicationName();
void setApplicationName(std::string name);

// Per-user folders, created on demand (a creation failure is reported through `error` and the
// path is still returned, so the caller's own file operation reports the same problem).
// Each can be pointed elsewhere by an environment variable, which tests use.
//
//   configDirectory     EST_CONFIG_DIR,    else $XDG_CONFIG_HOME/<app>, else ~/.config/<app>
//   dataDirectory       EST_DATA_DIR,      else $XDG_DATA_HOME/<app>, else ~/.local/share/<app>
//   documentsDirectory  EST_DOCUMENTS_DIR, else $XDG_DATA_HOME/<app>/Documents, else
//                       ~/.local/share/<app>/Documents
//   cachesDirectory     EST_CACHES_DIR,    else $XDG_CACHE_HOME/<app>, else ~/.cache/<app>
//   temporaryDirectory  EST_TMP_DIR,       else $TMPDIR, else /tmp
//
// XDG variables that are empty or hold a relative path are ignored, as the XDG rules say.
std::filesystem::path configDirectory(Error* error = nullptr);
std::filesystem::path dataDirectory(Error* error = nullptr);
std::filesystem::path documentsDirectory(Error* error = nullptr);
std::filesystem::path cachesDirectory(Error* error = nullptr);
std::filesystem::path temporaryDirectory(Error* error = nullptr);

// The user's home folder: $HOME, else the password database, else "/".
std::filesystem::path homeDirectory();

}  // namespace est
