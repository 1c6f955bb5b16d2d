// addressbook HOME: an address book kept by the record store under the data
// home HOME, in HOME/data/addressbook/index and HOME/data/addressbook/contacts.
// It adds contacts, reads, rewrites and deletes them, lists them by city in
// the order of their names, and meets a file that another process holds
// locked. Each step prints one line; a step that fails unexpectedly ends the
// program with exit status 1. Start it on an empty data home: it expects the
// IDs it hands out to start at 1.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cabcontact.h"
#include "cabcontactlist.h"
#include "cabindex.h"
#include "common/S3ComPath.h"
#include "common/com.h"
#include "s3/cs3dataiofile.h"

namespace {

// What a result code means to the user of this program.
const char* Meaning(int rc) {
  switch (rc) {
    case kResOk:
      return "done";
    case kResNoEntry:
      return "no such file or record";
    case kResLocked:
      return "the file stayed locked by another process";
    case kResRequiredEmpty:
      return "a required value is empty";
    case kResTooLong:
      return "a text is too long for its field";
    case kResNoMemory:
      return "out of memory";
    default:
      return "failed";
  }
}

bool Check(const char* step, int rc) {
  if (rc == kResOk) return true;
  printf("%s: %d (%s)\n", step, rc, Meaning(rc));
  return false;
}

void Print(const char* what, CAbContact& c) {
  printf("%s %d: %s, %s, %s", what, c.GetID(), c.GetName(), c.GetCity(), c.GetPhone());
  printf(c.GetBorn()[0] != '\0' ? ", born %s\n" : "%s\n", c.GetBorn());
}

bool PrintList(const char* city) {
  CAbContactList list(city);
  int rc = list.Get();
  if (!Check("list", rc)) return false;
  printf("%s:", city != nullptr ? city : "all");
  for (int i = 0; i < list.GetCount(); ++i) {
    printf(" %s (%d)", list.GetContact(i).GetName(), list.GetContact(i).GetID());
  }
  printf("\n");
  return true;
}

// Another program writing the address book: a child process that opens the
// contacts file for writing, which holds its lock, and keeps it open until
// a byte arrives on *release. The child is started while no accessor of
// this process is alive (an accessor must not live on in a child). Returns
// its pid once it holds the lock, or -1.
pid_t HoldContactsLocked(int* release) {
  int ready[2];
  int go[2];
  if (pipe(ready) != 0) return -1;
  if (pipe(go) != 0) {
    close(ready[0]);
    close(ready[1]);
    return -1;
  }
  pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    close(go[1]);
    int rc;
    {
      CS3DataIO io;
      CAbContactList all(nullptr);
      rc = io.OpenMod(all, nullptr, false);
      char c = rc == kResOk ? 'y' : 'n';
      if (write(ready[1], &c, 1) == 1 && rc == kResOk) {
        ssize_t n;
        do {
          n = read(go[0], &c, 1);
        } while (n < 0 && errno == EINTR);
      }
    }  // The release: nothing was changed, the lock ends.
    _exit(rc == kResOk ? 0 : 1);
  }
  close(ready[1]);
  close(go[0]);
  char c = 'n';
  if (pid < 0 || read(ready[0], &c, 1) != 1 || c != 'y') {
    close(ready[0]);
    close(go[1]);
    if (pid > 0) waitpid(pid, nullptr, 0);
    return -1;
  }
  close(ready[0]);
  *release = go[1];
  return pid;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] == '\0' || strlen(argv[1]) > static_cast<size_t>(kS3HomeMax)) {
    fprintf(stderr, "usage: addressbook HOME (at most %d characters)\n", kS3HomeMax);
    return 2;
  }
  S3ComPathHomeSave(argv[1]);

  // Adding: each contact is one unit of work over the index and the
  // contacts file.
  struct {
    const char *name, *city, *phone, *born;
  } const people[] = {
      {"Mara Lind", "Oslo", "+47 22 00 00 01", "1984-03-07"},
      {"Jon Ek", "Bergen", "+47 55 00 00 02", "1979/11/30"},
      {"Ivo Brandt", "Oslo", "+47 22 00 00 03", ""},
  };
  for (const auto& p : people) {
    CAbContact c;
    if (!Check("set", c.SetName(p.name)) || !Check("set", c.SetCity(p.city)) ||
        !Check("set", c.SetPhone(p.phone)) || !Check("set", c.SetBorn(p.born)) ||
        !Check("add", c.Add())) {
      return 1;
    }
    printf("added %d: %s\n", c.GetID(), c.GetName());
  }

  // A unit that fails changes nothing: the index had already handed out ID 4
  // when the contact without a name was refused, and the release put it back.
  {
    CAbContact nameless;
    nameless.SetCity("Oslo");
    int rc = nameless.Add();
    printf("add without a name: %d (%s)\n", rc, Meaning(rc));
    CAbContact c;
    if (!Check("set", c.SetName("Siri Dahl")) || !Check("set", c.SetCity("Bergen")) ||
        !Check("add", c.Add())) {
      return 1;
    }
    printf("added %d: %s\n", c.GetID(), c.GetName());
  }

  // Reading one record, rewriting it in place.
  CAbContact jon;
  if (!Check("read", jon.Get(2))) return 1;
  Print("read", jon);
  if (!Check("set", jon.SetCity("Oslo")) || !Check("rewrite", jon.Mod())) return 1;
  CAbContact again;
  if (!Check("read", again.Get(2))) return 1;
  Print("rewrote", again);

  // Busy: while another process writes the file, an accessor that will not
  // wait gets -114 at once and nothing is changed; the rewrite is tried
  // again once the other process is done. (An accessor's default patience
  // is 10 attempts a second apart.)
  int release = -1;
  pid_t holder = HoldContactsLocked(&release);
  if (holder < 0) {
    printf("could not start the process that holds the lock\n");
    return 1;
  }
  jon.SetPhone("+47 22 00 00 09");
  int rc;
  {
    CS3DataIO impatient;
    impatient.lockAttempts = 1;
    impatient.lockWait = 0;
    rc = impatient.Mod(jon, jon.GetID());
  }
  printf("rewrite while another process writes: %d (%s)\n", rc, Meaning(rc));
  int status = 0;
  if (write(release, "x", 1) != 1 || close(release) != 0 || waitpid(holder, &status, 0) != holder ||
      !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    printf("the process that holds the lock failed\n");
    return 1;
  }
  if (rc != kResLocked || !Check("rewrite", jon.Mod())) return 1;
  if (!Check("read", again.Get(2))) return 1;
  Print("rewrote", again);

  // Deleting: the record and its index entry, one unit.
  CAbContact mara;
  mara.SetID(1);
  if (!Check("delete", mara.Del())) return 1;
  rc = mara.Get(1);
  printf("read 1 after its deletion: %d (%s)\n", rc, Meaning(rc));

  // Collections: by city, ordered by name; then the index in its own order.
  if (!PrintList("Oslo") || !PrintList("Bergen") || !PrintList(nullptr)) return 1;
  CAbIndex index;
  if (!Check("index", index.Get())) return 1;
  printf("index:");
  for (int i = 0; i < index.GetElementCount(); ++i) {
    if (index.GetElement(i) != nullptr) printf(" %d", index.GetElement(i)->GetID());
  }
  printf("\n");
  return 0;
}
