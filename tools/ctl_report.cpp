#include "tools/ctl_report.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "common/comfile.h"
#include "s3/cs3data.h"
#include "s3/cs3dataiofile.h"
#include "s3/values/cs3date.h"
#include "s3/values/cs3number.h"
#include "stores/ckoralarm.h"
#include "stores/schedulerdefs.h"

namespace {

const char* helpTopic = "";

constexpr char kLinkRefused[] = " is a symbolic link; nothing under the data home may be one";

}  // namespace

const char* ctlStoreMeaning(int code) {
  return schedulerStoreMeaning(code);
}

const char* ctlDaemonMeaning(int code) {
  const char* text = schedulerResultMeaning(code);
  return text != nullptr ? text : ctlStoreMeaning(code);
}

const char* ctlReason(int err) {
  static char text[kComPathMax + 64];
  const char* link = comHomeRefusedLink();
  if (err != ELOOP || link[0] == '\0') return strerror(err);
  snprintf(text, sizeof(text), "%s%s", link, kLinkRefused);
  return text;
}

namespace {

// Codes whose failing call the file layer or the store noted: the note's
// path and reason say more than the code's meaning. -114 stands for a lock
// held through every attempt, but also, as the suite's programs expect, for
// an open refused for want of permission (EACCES): the note tells which.
bool FailedCall(int code, const ComFailure& failure) {
  if (code == kResLocked) return failure.err == EACCES && strcmp(failure.call, "open") == 0;
  switch (code) {
    case kResIoNoDir:
    case kResIoOpenFailed:
    case kResIoBackupFailed:
    case kResIoSeekFailed:
    case kResIoWriteFailed:
    case kResIoDeleteFailed:
    case kResIoTruncateFailed:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool ctlFailNamesTheCall(int code) {
  const ComFailure* failure = comLastFailure();
  return comHomeRefusedLink()[0] != '\0' ||
         (failure != nullptr && failure->path[0] != '\0' && FailedCall(code, *failure));
}

int ctlFail(const char* what, const char* relFile, int code) {
  const char* link = comHomeRefusedLink();
  const ComFailure* failure = comLastFailure();
  if (link[0] != '\0') {
    fprintf(stderr, "schedulerctl: %s: %s%s (result %d)\n", what, link, kLinkRefused, code);
  } else if (failure != nullptr && failure->path[0] != '\0' && FailedCall(code, *failure)) {
    fprintf(stderr, "schedulerctl: %s: %s: %s (result %d)\n", what, comHomeShown(failure->path),
            comFailureReason(*failure), code);
  } else if (relFile == nullptr) {
    fprintf(stderr, "schedulerctl: %s: %s (result %d)\n", what, ctlStoreMeaning(code), code);
  } else {
    char path[kComPathMax];
    S3ComPathEditData(relFile, path);
    fprintf(stderr, "schedulerctl: %s: %s: %s (result %d)\n", what, path, ctlStoreMeaning(code),
            code);
  }
  return kCtlExitFailed;
}

void ctlSetHelpTopic(const char* topic) {
  helpTopic = topic != nullptr ? topic : "";
}

int ctlError(const char* format, ...) {
  char message[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof(message), format, args);
  va_end(args);
  fprintf(stderr, "schedulerctl: %s\n", message);
  return kCtlExitFailed;
}

int ctlUsageError(const char* format, ...) {
  char message[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof(message), format, args);
  va_end(args);
  if (helpTopic[0] == '\0') {
    fprintf(stderr, "schedulerctl: %s\nTry 'schedulerctl --help'.\n", message);
  } else {
    fprintf(stderr, "schedulerctl: %s\nTry 'schedulerctl HOME %s --help'.\n", message, helpTopic);
  }
  return kCtlExitUsage;
}

void ctlPrintRows(const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> width;
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) {
      if (width.size() <= i) width.push_back(0);
      width[i] = std::max(width[i], row[i].size());
    }
  }
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(width[i] - row[i].size() + 2, ' ');
    }
    line.erase(line.find_last_not_of(' ') + 1);
    printf("%s\n", line.c_str());
  }
}
