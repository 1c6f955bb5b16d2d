// A status record holding a status code and the process id it belongs to;
// subclasses name the file. Its write lock is the running-instance handshake:
// a process keeps its own status file open and write-locked for as long as it
// lives (Lock), and another process that finds the file locked (IsLock) knows
// that the owner is alive, because the operating system drops the lock when
// the owner ends in whatever way.
#ifndef STORES_CKORSTATUS_H_
#define STORES_CKORSTATUS_H_

#include "s3/cs3dataiofile.h"
#include "s3/cs3object.h"
#include "s3/values/cs3number.h"

class CKorStatus : public CS3Object {
 public:
  CKorStatus() = default;
  ~CKorStatus() override;

  // `name` compared without regard to case: "status" sets the status, "pid"
  // the pid, from the decimal text `value` (left unchanged by the call). The
  // conversion's result; -70 for any other name.
  int Set(const char* name, const char* value) override;
  // Empties status and pid (the private ID stays).
  void Clean() override;
  // Writes "status" as text (an empty value removes the field), then "pid" as
  // a number. 0 or the first failure.
  int SetFieldValue(CS3Data* data) override;
  // Reads "status" then "pid" as integers; failures are ignored. 0.
  int GetFieldValue(CS3Data* data) override;

  // Takes and keeps the write lock on the object's file in `io`: sets
  // io.share, opens the existing file for update (OpenMod with reading); when
  // that finds no file or no record (-110), opens it with OpenAdd, which
  // creates it with its directories. The lock lasts while `io` keeps the file
  // open: until io.Close(*this), the destruction of `io`, or the end of the
  // process. 0, or the open's code (-114 when another process held the lock
  // through all of io's attempts).
  virtual int Lock(CS3DataIO& io);
  // True exactly when another process holds a lock on the object's file: a
  // temporary accessor with 1 attempt and no wait opens it for reading and
  // gets -114. False when it opened, when the file does not exist, and on
  // any other failure; never fails otherwise.
  // REQUIRES: not called by the process that holds the lock. POSIX record
  // locks belong to the process, and closing any descriptor of the file
  // drops them: a probe in the holder's own process would always find the
  // file unlocked and would end the holder's lock on the way out.
  virtual bool IsLock();

  // Sets the identifier that callers may attach to the status; never stored.
  // The value's result.
  int SetPrivateID(const char* privateIdText);
  const char* GetPrivateID() const { return privateId.Get(); }

  // pid as a number (0 when empty) / pid := `value`; the value's result.
  int GetPid() const { return pid.GetInt(); }
  int SetPid(int value) { return pid.SetInt(value); }
  // status as a number (0 when empty) / status := `value`.
  int GetStatus() const { return status.GetInt(); }
  int SetStatus(int value) { return status.SetInt(value); }

 protected:
  CS3Int status;
  CS3Int pid;
  CS3Id privateId;
};

#endif  // STORES_CKORSTATUS_H_
