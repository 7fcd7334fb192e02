// The encrypted cache files: the three document files and the timestamp file
// in the cache folder (GetCachePath, ending in '/'; a path is the folder
// followed directly by the file name).
//
// A document file holds one line without a line end: the encrypted text
// (qrncrypt.h) of the whole document; a document of fewer than 2 characters
// gives an empty file. Files are replaced whole and atomically, so a reader
// in another process sees the old or the new file, never a torn one.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/file_lock.h"
#include "qrnauth/qrnxml.h"

namespace qrn {

// One name per file, for writer and reader alike.
constexpr char kApplicationCacheFile[] = "ApplCache.xml";
constexpr char kRoleCacheFile[] = "RoleCache.xml";
constexpr char kAclCacheFile[] = "AclCache.xml";
constexpr char kTimestampFile[] = "MvtCache.txt";
// The advisory lock of the set. The four files and the validation hash
// change as one set: a writer holds the lock exclusively while it replaces
// the documents, the timestamp file and "CacheValidation"; a reader holds it
// shared while it checks the hash and reads the files and the timestamp.
constexpr char kCacheLockFile[] = "MvtCache.lock";
// How long a reader or a writer waits for the lock. A reader that does not
// get it goes on without it (the validation hash still guards the set); a
// writer that does not get it writes nothing.
constexpr int kCacheReadLockMs = 5000;
constexpr int kCacheWriteLockMs = 10000;

// Takes the lock of the cache folder (GetCachePath) in the given mode.
// kUnavailable also when the cache folder is not known.
platform::FileLock::Result LockCacheFolder(platform::FileLock* lock,
                                           platform::FileLock::Mode mode);

// Writes a document file.
//   S_OK          written (an empty file for a document under 2 characters)
//   E_FAIL        the file cannot be written
//   E_OUTOFMEMORY no buffer; nothing written
//   E_UNEXPECTED  any other exception
//   else          the encryption failed; the file is left empty
HRESULT QrnEncryptBufferAndPersistInFile(std::string_view document, const std::string& path);

// The bytes a document file was given, as EncryptAndPersistDocument wrote
// them (no bytes for an empty file).
struct WrittenText {
  std::unique_ptr<char[]> bytes;
  size_t size = 0;
  std::string_view view() const { return {bytes.get(), size}; }
};
// QrnEncryptBufferAndPersistInFile that also hands back, on S_OK, what the
// file now holds.
HRESULT EncryptAndPersistDocument(std::string_view document, const std::string& path,
                                  WrittenText* written);

// Reads a document file into a new XML component object. An object already
// in *xml is released first. Reports to the authorization trail (source
// "security/common/qrncache", lines 958, 962, 966) when creating the
// component, parsing or asking for IQrnXml2 fails.
//   S_OK          *xml holds the document; or *xml is null when the file has
//                 fewer than 2 characters
//   E_INVALIDARG  null xml
//   E_FAIL        the file is missing or unreadable (no trail entry)
//   else          the failing step's status (a file that does not decrypt
//                 to a document fails the parse)
HRESULT QrnGetXmlPointerFromEncryptedFile(const std::string& path, IQrnXml2** xml);
// The same for a document file's content already read (E_FAIL is then never
// returned): one read serves the validation hash and the document. report
// false: a failing step is only returned, not reported (a read made before
// it is known whether its result is wanted).
HRESULT QrnGetXmlPointerFromEncryptedText(const std::string& text, IQrnXml2** xml,
                                          bool report = true);

// The timestamp file: the encrypted server timestamp (empty when the
// timestamp has fewer than 2 characters), CR LF, the encrypted base URL
// without a line end.
std::string FormatTimestampFile(std::string_view timestamp, std::string_view url);
// Splits and decrypts the file's text; a line end is CR LF or LF. A line
// that does not decrypt gives an empty text.
void ParseTimestampFile(std::string_view content, std::string* timestamp, std::string* url);
// Replaces the timestamp file atomically; false when it cannot be written.
bool WriteTimestampFile(const std::string& path, std::string_view timestamp, std::string_view url);
// False when the file is missing or unreadable (both texts then empty).
bool ReadTimestampFile(const std::string& path, std::string* timestamp, std::string* url);

}  // namespace qrn
