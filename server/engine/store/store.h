// The engine's storage, as every request, verb and conversion sees it: a system of accounts, an
// account of files (a dictionary section and data sections) with their items, the locks that
// ports take on them, and the file indexes. Two stores implement it: SQLite files in a directory
// (store/sqlite, the embedded default) and schemas of one PostgreSQL database (store/postgres),
// for accounts that several machines share. No SQL is written outside those two folders; the
// account policy over their statements is written once in store/sql. A third,
// store/fault_store, wraps either and fails chosen operations, for the tests of both.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "server/engine/store/index_keys.h"
#include "server/engine/store/process.h"
#include "server/engine/vocabulary.h"

namespace tarn::server::store {

// The marks, under the names the store's callers have long used.
using ::tarn::server::kAttributeMark;
using ::tarn::server::kSubValueMark;
using ::tarn::server::kValueMark;
inline constexpr std::string_view kMasterDictionary = "MD";
inline constexpr std::string_view kSystemAccount = "DM";

// What kind of trouble a store failure is, as far as a client can act on it.
enum class StoreFailure {
  kBusy,       // another writer held the store past the wait
  kFull,       // the disk (or the database's size limit) is full
  kReadOnly,   // the store cannot be written
  kCorrupt,    // the store is damaged or is not an account at all
  kIo,         // the operating system refused a read, write or open
  kLost,       // the connection to the database server is gone; the port cannot go on
  kNoSection,  // the section was deleted under an open handle
  kMissing,    // the system or account named does not exist, and nothing may create it
  kOther,
};

class StoreError : public std::runtime_error {
 public:
  StoreError(StoreFailure failure, const std::string& what)
      : std::runtime_error(what), failure_(failure) {}
  [[nodiscard]] StoreFailure failure() const noexcept { return failure_; }
  [[nodiscard]] bool busy() const noexcept { return failure_ == StoreFailure::kBusy; }

 private:
  StoreFailure failure_;
};

// One dictionary or data section of a file.
struct Section {
  std::int64_t id = 0;
  std::string file;  // the file's name as it was created
  std::string name;  // the data section's name; empty for a dictionary
  bool dictionary = false;
  bool caseFold = true;  // item-ids compare without regard to ASCII letter case
  std::int64_t modulo = 1;
};

// The holder of a lock: a port, and the process that opened it.
struct LockOwner {
  std::int64_t port = 0;
  ProcessIdentity process;
  friend bool operator==(const LockOwner&, const LockOwner&) = default;
};

enum class LockOutcome { kGranted, kHeldElsewhere };

// What a key operation found: the key, its value count and the item-id (for "X", every item-id
// under the key joined by attribute marks, with the count of them as the value count).
struct IndexHit {
  std::string key;
  long vc = 0;
  std::string ids;
};

enum class IndexSeek { kFound, kNone, kBadCode };

// The b-tree indexes of one account. Entries hold (key, item, value count) in the byte order of
// the key, then of the item key, then of the value count, and change in the same transaction as
// the item that produced them (the account's item members keep them current).
class IndexStore {
 public:
  virtual ~IndexStore() = default;
  // The number of the index on s defined by c, when there is one.
  [[nodiscard]] virtual std::optional<std::int64_t> find(const Section& s,
                                                         const Correlative& c) = 0;
  // Whether index number still exists.
  [[nodiscard]] virtual bool exists(std::int64_t number) = 0;
  // The indexes defined on s, in the order they were made.
  [[nodiscard]] std::vector<Correlative> definitions(const Section& s);
  // Defines the index (or empties an existing one, keeping its number) and fills it from every
  // item that forEachItem visits. Returns its number.
  virtual std::int64_t build(const Section& s, const Correlative& c,
                             const ItemVisitor& forEachItem) = 0;
  // Removes the definition and its entries; false when there was none.
  virtual bool drop(const Section& s, const Correlative& c) = 0;
  // Runs key operation code on index number from position (key, id, vc). foldIds tells whether
  // the file's item-ids ignore letter case. The same for every store: it asks probe and idsUnder.
  [[nodiscard]] IndexSeek seek(std::int64_t number, bool foldIds, char code, std::string_view key,
                               std::string_view id, long vc, IndexHit& hit);

  // --- upkeep, called by the account's item paths inside their transaction. The same for every
  // store: only the difference between an item's old and new keys touches the entries.
  // Whether any index is defined on s; reads the definitions that the itemChanged right after it
  // (in the same transaction) uses.
  [[nodiscard]] bool any(const Section& s);
  // Whether the last any() for s found an index: a hint that lets a writer skip a path that
  // cannot serve it, never a reason to skip upkeep.
  [[nodiscard]] bool seenIndexed(const Section& s) const { return indexed_.count(s.id) != 0; }
  // The item id of s changed from before (nullptr: it did not exist) to after (nullptr: deleted).
  void itemChanged(const Section& s, std::string_view id, const std::string* before,
                   const std::string_view* after);
  // Every item of s went.
  void sectionCleared(const Section& s);
  // s itself goes: its definitions with their entries.
  void sectionDropped(const Section& s);

 protected:
  struct Definition {
    std::int64_t number;
    Correlative correlative;
  };
  // The definitions on s, in the order they were made, into out.
  virtual void readDefinitions(const Section& s, std::vector<Definition>& out) = 0;
  enum class EntryChange {
    kInsert,   // new entries for the item
    kDelete,   // entries the item no longer has
    kRespell,  // kept entries, given the item-id's current spelling
  };
  // Applies one kind of change to the entries of index number for the keys of item id of s.
  virtual void changeEntries(EntryChange change, std::int64_t number, const Section& s,
                             std::string_view id, const std::vector<KeyValue>& keys) = 0;
  // Removes every entry of index number, keeping its definition.
  virtual void clearEntries(std::int64_t number) = 0;
  // Removes the definitions on s with their entries.
  virtual void dropDefinitions(const Section& s) = 0;

  // Which entry a probe looks for, from a position (key, item, value count) in entry order.
  enum class Probe {
    kAtOrAfterKey,    // the first at or after key
    kAfterKey,        // the first after every entry of key
    kAfterPosition,   // the first after the position
    kBeforeKey,       // the last before every entry of key
    kBeforePosition,  // the last before the position
    kLast,            // the last of all
    kAtOrBeforeKey,   // the last at or before key
    kKey,             // the first of key
    kKeyAndItem,      // the first of key and item (and of the value count, when it is above 0)
  };
  static constexpr int kProbes = 9;
  // How many of key, item and value count each probe uses, in that order.
  static constexpr int kProbeParameters[kProbes] = {1, 1, 3, 1, 3, 0, 1, 1, 3};
  // The entry of index number that a probe of this kind finds, into hit (its item-id in hit.ids);
  // false when there is none.
  [[nodiscard]] virtual bool probe(Probe kind, std::int64_t number, std::string_view key,
                                   std::string_view item, long vc, IndexHit& hit) = 0;
  // Every item-id under key in item order, joined by attribute marks, and their count as hit.vc.
  virtual void idsUnder(std::int64_t number, std::string_view key, IndexHit& hit) = 0;

 private:
  // The definitions of s: those any() read just before, else read afresh.
  const std::vector<Definition>& definitionsFor(const Section& s);

  std::string scratch_;
  std::vector<Definition> defs_;
  std::int64_t loadedFor_ = 0;  // the section whose definitions any() left in defs_
  std::set<std::int64_t> indexed_;
  KeyChanges changes_;
};

// The credentials of a protected account: the user and a salted hash of the password.
struct StoredCredentials {
  std::string user;
  std::string hash;
};

// One account. An account object is used by one thread at a time; each port opens its own.
// Every member throws StoreError.
class Account {
 public:
  explicit Account(std::string name) : name_(std::move(name)) {}
  virtual ~Account() = default;
  Account(const Account&) = delete;
  Account& operator=(const Account&) = delete;

  [[nodiscard]] const std::string& name() const noexcept { return name_; }
  [[nodiscard]] virtual IndexStore& indexes() = 0;

  // --- transactions: see Transaction below.
  // Begins a write transaction unless one is open on this account's connection; true when this
  // call began it. Checks made inside one still hold at its commit.
  virtual bool begin() = 0;
  virtual void commit() = 0;
  virtual void rollback() noexcept = 0;

  // --- catalogue. Name matching ignores ASCII case unless exact is set.
  // The file's canonical name, when it exists.
  [[nodiscard]] virtual std::optional<std::string> findFile(std::string_view file, bool exact) = 0;
  // The dictionary (section empty and dictionary set) or a data section; an empty data section
  // name means the file's default data section (the one named like the file, else the first).
  [[nodiscard]] virtual std::optional<Section> findSection(std::string_view file, bool dictionary,
                                                           std::string_view section,
                                                           bool exact) = 0;
  // The sections of one file (dictionary first), or of every file when file is empty.
  [[nodiscard]] virtual std::vector<Section> sections(std::string_view file) = 0;
  // Creates the file with its dictionary; false when the file exists.
  virtual bool createDictionary(std::string_view file, std::int64_t modulo, bool caseFold) = 0;
  // Creates a data section (and the dictionary when the file is new); false when it exists.
  virtual bool createDataSection(std::string_view file, std::string_view section,
                                 std::int64_t modulo, bool caseFold) = 0;
  // Removes the sections with their items, indexes and locks; the file's MD entry goes with its
  // last section.
  virtual void dropSections(const std::vector<Section>& doomed) = 0;

  // --- items. Keys fold per the section.
  // Appends the item's body to out; false when there is no such item.
  [[nodiscard]] virtual bool readItem(const Section& s, std::string_view id, std::string& out) = 0;
  virtual void writeItem(const Section& s, std::string_view id, std::string_view body) = 0;
  // Writes in one step unless a lock of another owner is on the item or its file, or the section
  // is indexed; false when it did not write (the caller then takes the checked path).
  [[nodiscard]] virtual bool writeItemUnlessLocked(const Section& s, std::string_view id,
                                                   std::string_view body,
                                                   const LockOwner& owner) = 0;
  // Whether this account object granted an item lock on it that has not been released. Each
  // port opens its own account objects, so this is the port's own view, without a query.
  [[nodiscard]] virtual bool holdsItemLock(const Section& s, std::string_view id) = 0;
  // False when there was no such item.
  virtual bool deleteItem(const Section& s, std::string_view id) = 0;
  virtual void clearSection(const Section& s) = 0;
  [[nodiscard]] virtual std::int64_t countItems(const Section& s) = 0;
  // Item-ids in key order, each followed by the attribute mark except the last. Returns the count.
  virtual std::size_t appendIds(const Section& s, std::string& out) = 0;
  // Visits every item in key order; the views live only during the call.
  virtual void forEachItem(
      const Section& s,
      const std::function<void(std::string_view id, std::string_view body)>& visit) = 0;

  // --- locks. Each call is one transaction unless the caller holds one. A lock whose port is
  // gone (its process died, or on a shared store its database session ended) holds nothing.
  // Locks the item for owner unless another live owner holds it or its file.
  [[nodiscard]] virtual LockOutcome lockItem(const Section& s, std::string_view id,
                                             const LockOwner& owner) = 0;
  // Locks the file unless another live owner holds it or any item lock in it.
  [[nodiscard]] virtual LockOutcome lockFile(const Section& s, const LockOwner& owner) = 0;
  virtual void unlockItem(const Section& s, std::string_view id, const LockOwner& owner) = 0;
  virtual void unlockFile(const Section& s, const LockOwner& owner) = 0;
  // For a write inside the caller's transaction: whether another live owner holds the item or the
  // file, and whether owner holds the item.
  struct WriteCheck {
    bool heldElsewhere = false;
    bool heldByOwner = false;
  };
  [[nodiscard]] virtual WriteCheck checkWrite(const Section& s, std::string_view id,
                                              const LockOwner& owner) = 0;
  // Whether another live owner holds a lock of any kind in the section (clearing, deleting).
  [[nodiscard]] virtual bool sectionHeldElsewhere(const Section& s, const LockOwner& owner) = 0;
  // Records that owner has the section open, so that a delete without force can refuse.
  virtual void markOpen(const Section& s, const LockOwner& owner) = 0;
  virtual void unmarkOpen(const Section& s, const LockOwner& owner) = 0;
  [[nodiscard]] virtual bool openElsewhere(const Section& s, const LockOwner& owner) = 0;
  // The item an open mark of owner is kept under, beside the locks: one per owner and section.
  [[nodiscard]] static std::string openMark(const LockOwner& owner);
  // The port number of a live holder that the last lock check of this account object found in
  // the way (lockItem, lockFile, checkWrite, sectionHeldElsewhere); 0 when none. Lets a refusal
  // name who holds the lock without a second look.
  [[nodiscard]] std::int64_t lastHolder() const noexcept { return lastHolder_; }
  // Drops every lock and open mark of owner in this account.
  virtual void releaseAll(const LockOwner& owner) = 0;
  // Drops item and file locks of owner in this account, keeping open marks.
  virtual void releaseLocks(const LockOwner& owner) = 0;

  // --- protection records (protection.h holds the policy over them)
  [[nodiscard]] virtual std::optional<StoredCredentials> credentials() = 0;
  // Replaces the credentials (nothing: the account is unprotected again).
  virtual void setCredentials(const std::optional<StoredCredentials>& credentials) = 0;
  // Counts one more failed logon from source; returns the count.
  virtual long addFailedLogon(std::string_view source) = 0;
  virtual void clearFailedLogons(std::string_view source) = 0;
  [[nodiscard]] virtual long failedLogons(std::string_view source) = 0;
  virtual void grant(std::string_view other) = 0;
  virtual void revoke(std::string_view other) = 0;
  [[nodiscard]] virtual bool grants(std::string_view other) = 0;
  [[nodiscard]] virtual std::vector<std::string> grantees() = 0;
  // A number that moves whenever the credentials or grants may have changed, from any port. It
  // costs no table read, so a port can ask it before every use of another account's file and
  // look the grants up again only when it moved.
  [[nodiscard]] virtual std::uint64_t protectionVersion() = 0;

 protected:
  std::int64_t lastHolder_ = 0;  // see lastHolder

 private:
  std::string name_;
};

// A write transaction on an account that rolls back unless committed; a no-op guard when the
// account's connection is already inside one.
class Transaction {
 public:
  explicit Transaction(Account& account) : account_(account), began_(account.begin()) {}
  ~Transaction() {
    if (began_) account_.rollback();
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  // A commit that fails leaves the guard armed, so that the transaction is rolled back rather than
  // left open under every later write of the connection.
  void commit() {
    if (!began_) return;
    account_.commit();
    began_ = false;
  }

 private:
  Account& account_;
  bool began_;
};

// A port as the system lists it.
struct PortEntry {
  int number = 0;
  ProcessIdentity process;
  std::string account;
};

// A system: the accounts and the register of live ports. One object per port; on a shared store
// it is the port's database session, whose end frees the port's number and locks.
class System {
 public:
  virtual ~System() = default;
  // Where the system lives, as the data source named it.
  [[nodiscard]] virtual const std::string& location() const noexcept = 0;
  [[nodiscard]] virtual bool accountExists(std::string_view name) = 0;
  // Every account, by stored name.
  [[nodiscard]] virtual std::vector<std::string> accounts() = 0;
  // Opens an account by its stored name; creates it when create is set. Throws StoreError.
  [[nodiscard]] virtual std::unique_ptr<Account> openAccount(std::string_view name,
                                                             bool create) = 0;
  // Takes the lowest port number that no live port holds. Throws StoreError.
  [[nodiscard]] virtual int claimPort(const ProcessIdentity& process, std::string_view account) = 0;
  // Gives the number back; never throws.
  virtual void releasePort(int number) noexcept = 0;
  // Records the account a port is logged on to. Throws StoreError.
  virtual void movePort(int number, std::string_view account) = 0;
  // The live ports, by number. Throws StoreError.
  [[nodiscard]] virtual std::vector<PortEntry> ports() = 0;
};

// Whether a data source's System= value names a PostgreSQL database (a postgresql:// or
// postgres:// URI, or libpq keywords such as "host=... dbname=...") rather than a directory.
[[nodiscard]] bool namesPostgres(std::string_view system) noexcept;

// The failure of a system that is not at location yet, which only a data source that allows
// creation makes.
[[nodiscard]] StoreError missingSystem(const std::string& location);

// Opens the system a data source names. A system that is not there yet (a directory without its
// DM account, a database without the system schema) is created with its DM account only when
// create is set; else StoreError kMissing names it. Throws StoreError.
[[nodiscard]] std::unique_ptr<System> openSystem(const std::string& system, bool create = false);

// A file's entry in its account's MD: "D", then its modulo.
[[nodiscard]] std::string fileDefinition(std::int64_t modulo);

// An account's name as stored: upper-cased; nothing when the name is not a valid account name
// (1 to 64 of A-Z, 0-9, '_', '-', '.', not starting with '.').
[[nodiscard]] std::optional<std::string> accountName(std::string_view name);

// ASCII upper-casing of wire bytes.
[[nodiscard]] std::string upperAscii(std::string_view text);
[[nodiscard]] bool equalsNoCase(std::string_view a, std::string_view b) noexcept;
// The key an item-id is stored under in s: folded to upper case where s folds ids. Uses scratch
// when it must change the text.
[[nodiscard]] std::string_view itemKey(const Section& s, std::string_view id, std::string& scratch);

}  // namespace tarn::server::store
