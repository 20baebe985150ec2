#pragma once
// The user's settings: what the settings file stores and the window edits. Field
// names are the names of their stored values; texts are fixed NUL-terminated
// buffers whose sizes include the terminator.
#include <cstdint>
#include <memory>

#include "capture/caption_style.h"

namespace snapvane {

struct Settings {
  int32_t interval = 0;  // seconds between pictures
  int32_t saveFile = 0;
  char fileName[260] = {};
  int32_t http = 0;
  uint16_t httpPort = 0;
  int32_t httpRefresh = 0;      // seconds, 0: no client pull
  char httpAddress[260] = {};   // listen address; empty: every interface
  char httpUser[64] = {};       // with httpPassHash: browsers must log in
  char httpPassHash[160] = {};  // salted PBKDF2 hash of the password, never the password
  int32_t httpStream = 0;       // GET /stream serves a live stream
  int32_t httpStreamFps = 0;    // its frames per second, 1..30
  int32_t ftp = 0;
  char ftpUser[64] = {};
  char ftpPass[64] = {};  // clear text in memory; scrambled only in the settings file
  char ftpAccount[64] = {};
  char ftpServer[260] = {};
  char ftpFile[260] = {};
  char ftpDir[260] = {};
  int32_t ftpMode = 0;            // 0 active, 1 passive, 2 automatic
  int32_t ftpTls = 0;             // explicit TLS (AUTH TLS) on control and data
  uint16_t ftpPort = 0;           // used when the server names no port
  char ftpFingerprint[96] = {};   // pinned SHA-256 of the server's certificate, AA:BB:...
  int32_t archive = 0;            // a copy of every timed capture
  char archivePattern[260] = {};  // its name, with strftime codes; "~/" is the home folder
  int32_t archiveDays = 0;        // the archive's own copies kept this many days; 0: all
  int32_t caption = 0;
  std::unique_ptr<CaptionStyle> captionStyle;
  int32_t quality = 0;
};

}  // namespace snapvane
