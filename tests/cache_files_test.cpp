// The encrypted cache files: document files read back into the XML
// component, their trail entries, atomic replacement, the timestamp file.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "frame/trail.h"
#include "platform/text.h"
#include "security/common/qrncache_files.h"
#include "security/common/qrncrypt.h"
#include "tests/support/test_env.h"

namespace qrn {
namespace {

std::string ElementText(IQrnXml2* xml, const std::string& tag) {
  std::u16string wide = platform::Utf8ToUtf16(tag);
  BSTR name = SysAllocStringLen(wide.data(), static_cast<unsigned int>(wide.size()));
  IDispatch* element = nullptr;
  HRESULT hr = xml->FindElement(nullptr, name, &element);
  SysFreeString(name);
  if (hr != S_OK) return "<none>";
  BSTR text = nullptr;
  EXPECT_EQ(xml->GetElementText(element, &text), S_OK);
  element->Release();
  std::string utf8 = platform::Utf16ToUtf8(std::u16string_view(text, SysStringLen(text)));
  SysFreeString(text);
  return utf8;
}

// The texts of every recorded authorization trail entry, one string each
// ("step|detail|source"), whatever the array's order of dimensions.
std::vector<std::string> TrailTexts() {
  std::vector<std::string> texts;
  std::lock_guard<std::mutex> guard(authorizationTrail.lock);
  if (authorizationTrail.errors.vt != (VT_ARRAY | VT_VARIANT)) return texts;
  SAFEARRAY* array = authorizationTrail.errors.parray;
  VARIANT* cells = nullptr;
  if (FAILED(SafeArrayAccessData(array, reinterpret_cast<void**>(&cells)))) return texts;
  for (int i = 0; i < 24; ++i)
    if (cells[i].vt == VT_BSTR)
      texts.push_back(platform::Utf16ToUtf8(
          std::u16string_view(cells[i].bstrVal, SysStringLen(cells[i].bstrVal))));
  SafeArrayUnaccessData(array);
  return texts;
}

bool TrailHas(const std::string& text) {
  for (const std::string& t : TrailTexts())
    if (t.find(text) != std::string::npos) return true;
  return false;
}

const char kDocument[] =
    "<DOCUMENT><QRNAPPLS><APPL><APPLNAME>Billing \xE2\x82\xAC</APPLNAME></APPL>"
    "<APPLCOUNT>1</APPLCOUNT></QRNAPPLS></DOCUMENT>";

class CacheFiles : public ::testing::Test {
 protected:
  std::string Path(const char* name) const { return sandbox_.dir().File(name); }
  test::HiveSandbox sandbox_;
};

TEST_F(CacheFiles, WriteThenReadBack) {
  std::string path = Path(kApplicationCacheFile);
  ASSERT_EQ(QrnEncryptBufferAndPersistInFile(kDocument, path), S_OK);
  // One line of encrypted text, no line end.
  std::string content = test::ReadFile(path);
  EXPECT_EQ(content, EncryptString(kDocument));
  EXPECT_EQ(content.find('\n'), std::string::npos);

  IQrnXml2* xml = nullptr;
  ASSERT_EQ(QrnGetXmlPointerFromEncryptedFile(path, &xml), S_OK);
  ASSERT_NE(xml, nullptr);
  EXPECT_EQ(ElementText(xml, "APPLNAME"), "Billing \xE2\x82\xAC");
  EXPECT_EQ(ElementText(xml, "APPLCOUNT"), "1");
  // Reading again releases the object passed in and hands out a new one.
  xml->AddRef();
  IQrnXml2* held = xml;
  ASSERT_EQ(QrnGetXmlPointerFromEncryptedFile(path, &xml), S_OK);
  EXPECT_EQ(held->Release(), 0u);
  ASSERT_NE(xml, nullptr);
  xml->Release();
  xml = nullptr;
  EXPECT_EQ(authorizationTrail.count, 0);

  // Rewriting replaces the file whole and leaves no temporary file behind.
  ASSERT_EQ(QrnEncryptBufferAndPersistInFile("<DOCUMENT><APPLNAME>x</APPLNAME></DOCUMENT>", path),
            S_OK);
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(sandbox_.dir().path()))
    files += entry.path().filename().string().find(kApplicationCacheFile) != std::string::npos;
  EXPECT_EQ(files, 1u);
  ASSERT_EQ(QrnGetXmlPointerFromEncryptedFile(path, &xml), S_OK);
  EXPECT_EQ(ElementText(xml, "APPLNAME"), "x");
  xml->Release();
}

TEST_F(CacheFiles, ShortDocumentGivesAnEmptyFileAndNoObject) {
  std::string path = Path(kRoleCacheFile);
  test::WriteFile(path, "old content");
  ASSERT_EQ(QrnEncryptBufferAndPersistInFile("x", path), S_OK);
  EXPECT_EQ(test::ReadFile(path), "");
  IQrnXml2* xml = nullptr;
  EXPECT_EQ(QrnGetXmlPointerFromEncryptedFile(path, &xml), S_OK);
  EXPECT_EQ(xml, nullptr);
  ASSERT_EQ(QrnEncryptBufferAndPersistInFile("", path), S_OK);
  EXPECT_EQ(QrnGetXmlPointerFromEncryptedFile(path, &xml), S_OK);
  EXPECT_EQ(xml, nullptr);
  EXPECT_EQ(authorizationTrail.count, 0);
}

TEST_F(CacheFiles, MissingFileOrFolderFailsWithoutTrailEntry) {
  IQrnXml2* xml = nullptr;
  EXPECT_EQ(QrnGetXmlPointerFromEncryptedFile(Path(kAclCacheFile), &xml), E_FAIL);
  EXPECT_EQ(xml, nullptr);
  EXPECT_EQ(QrnGetXmlPointerFromEncryptedFile(sandbox_.dir().path(), &xml), E_FAIL);
  EXPECT_EQ(QrnGetXmlPointerFromEncryptedFile(Path(kAclCacheFile), nullptr), E_INVALIDARG);
  EXPECT_EQ(QrnEncryptBufferAndPersistInFile(kDocument, Path("no-such-folder/AclCache.xml")),
            E_FAIL);
  EXPECT_EQ(authorizationTrail.count, 0);
}

TEST_F(CacheFiles, CorruptFilesFailTheParseAndReportIt) {
  // Not base64 at all, and base64 of text that is not XML.
  for (const std::string& content : {std::string("this is not base64!"), EncryptString("no xml")}) {
    std::string path = Path(kAclCacheFile);
    test::WriteFile(path, content);
    IQrnXml2* xml = nullptr;
    HRESULT hr = QrnGetXmlPointerFromEncryptedFile(path, &xml);
    EXPECT_LT(hr, 0) << content;
    EXPECT_EQ(xml, nullptr);
  }
  EXPECT_EQ(authorizationTrail.count, 2);
  EXPECT_TRUE(TrailHas("Parsing the XML string"));
  EXPECT_TRUE(TrailHas("Parsing failed"));
  EXPECT_TRUE(
      TrailHas("security/common/qrncache(962):InitCache.QrnCheckCachedFiles."
               "QrnGetXmlPointerFromEncryptedFile.put_XmlString"));
}

TEST_F(CacheFiles, UnregisteredComponentIsReported) {
  std::string path = Path(kApplicationCacheFile);
  ASSERT_EQ(QrnEncryptBufferAndPersistInFile(kDocument, path), S_OK);
  ASSERT_EQ(QrnRegisterClass(CLSID_QrnXml, nullptr), S_OK);
  IQrnXml2* xml = nullptr;
  EXPECT_EQ(QrnGetXmlPointerFromEncryptedFile(path, &xml), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(xml, nullptr);
  EXPECT_EQ(authorizationTrail.count, 1);
  EXPECT_TRUE(TrailHas("Creating instance of IQrnXml"));
  EXPECT_TRUE(TrailHas("Class not registered"));
  EXPECT_TRUE(TrailHas("(958)"));
}

// A writer process replaces the file in a loop while this process reads it:
// every read finds one whole document or the other.
TEST_F(CacheFiles, ConcurrentReaderNeverSeesATornFile) {
  std::string path = Path(kRoleCacheFile);
  auto document = [](char fill) {
    return "<DOCUMENT><QRNROLES><R>" + std::string(200000, fill) + "</R></QRNROLES></DOCUMENT>";
  };
  const std::string a = document('a'), b = document('b');
  ASSERT_EQ(QrnEncryptBufferAndPersistInFile(a, path), S_OK);

  pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    int failures = 0;
    for (int i = 0; i < 150; ++i)
      failures += QrnEncryptBufferAndPersistInFile(i % 2 ? a : b, path) != S_OK;
    _exit(failures == 0 ? 0 : 1);
  }
  int reads = 0, torn = 0;
  for (;;) {
    int status = 0;
    bool done = waitpid(writer, &status, WNOHANG) == writer;
    IQrnXml2* xml = nullptr;
    HRESULT hr = QrnGetXmlPointerFromEncryptedFile(path, &xml);
    ++reads;
    if (hr != S_OK || xml == nullptr) {
      ++torn;
    } else {
      std::string text = ElementText(xml, "R");
      torn += text != a.substr(23, 200000) && text != b.substr(23, 200000);
      xml->Release();
    }
    if (done) {
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), 0);
      break;
    }
  }
  EXPECT_GT(reads, 1);
  EXPECT_EQ(torn, 0);
}

TEST(TimestampFile, LayoutAndLineEnds) {
  test::HiveSandbox sandbox;
  std::string content = FormatTimestampFile("2026-12-09 16:00:00", "http://127.0.0.1:8080/sec.asp");
  EXPECT_EQ(content, EncryptString("2026-12-09 16:00:00") + "\r\n" +
                         EncryptString("http://127.0.0.1:8080/sec.asp"));
  // A timestamp of fewer than 2 characters leaves the first line empty.
  EXPECT_EQ(FormatTimestampFile("7", "u1"), "\r\n" + EncryptString("u1"));

  std::string timestamp, url;
  ParseTimestampFile(content, &timestamp, &url);
  EXPECT_EQ(timestamp, "2026-12-09 16:00:00");
  EXPECT_EQ(url, "http://127.0.0.1:8080/sec.asp");
  ParseTimestampFile(EncryptString("t1") + "\n" + EncryptString("u1") + "\n", &timestamp, &url);
  EXPECT_EQ(timestamp, "t1");
  EXPECT_EQ(url, "u1");
  ParseTimestampFile(EncryptString("t1"), &timestamp, &url);
  EXPECT_EQ(timestamp, "t1");
  EXPECT_EQ(url, "");
  ParseTimestampFile("garbage!\r\n" + EncryptString("u1"), &timestamp, &url);
  EXPECT_EQ(timestamp, "");
  EXPECT_EQ(url, "u1");

  std::string path = sandbox.dir().File(kTimestampFile);
  EXPECT_FALSE(ReadTimestampFile(path, &timestamp, &url));
  ASSERT_TRUE(WriteTimestampFile(path, "stamp", "http://h/p"));
  EXPECT_EQ(test::ReadFile(path), FormatTimestampFile("stamp", "http://h/p"));
  ASSERT_TRUE(ReadTimestampFile(path, &timestamp, &url));
  EXPECT_EQ(timestamp, "stamp");
  EXPECT_EQ(url, "http://h/p");
}

}  // namespace
}  // namespace qrn
