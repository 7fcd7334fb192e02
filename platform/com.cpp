// Minimal in-process COM: the interface ids the library uses, a thread-safe
// class registry, CoCreateInstance and the GUID text form.
#include "qrnauth/com.h"

#include <mutex>
#include <new>
#include <vector>

extern "C" {
const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IClientSecurity = {0x0000013D, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
}

namespace {

constexpr HRESULT CO_E_CLASSSTRING = static_cast<HRESULT>(0x800401F3);
constexpr int kGuidChars = 38;  // without the terminator

struct ClassEntry {
  CLSID clsid;
  QrnClassFactory factory;
};

// Components register from static initialisers of any module, so the
// registry is made on first use and never destroyed (a registration during
// unload must still find it).
struct ClassRegistry {
  std::mutex lock;
  std::vector<ClassEntry> entries;
};

ClassRegistry& Registry() {
  static ClassRegistry* registry = new ClassRegistry;
  return *registry;
}

int HexValue(OLECHAR c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Reads `digits` hex digits at text[*pos]; false on anything else.
bool ReadHex(const OLECHAR* text, int* pos, int digits, uint32_t* value) {
  uint32_t v = 0;
  for (int i = 0; i < digits; ++i) {
    int d = HexValue(text[*pos]);
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint32_t>(d);
    ++*pos;
  }
  *value = v;
  return true;
}

bool Expect(const OLECHAR* text, int* pos, OLECHAR c) {
  if (text[*pos] != c) return false;
  ++*pos;
  return true;
}

}  // namespace

extern "C" {

HRESULT QrnRegisterClass(REFCLSID clsid, QrnClassFactory factory) {
  try {
    ClassRegistry& registry = Registry();
    std::lock_guard<std::mutex> guard(registry.lock);
    auto& entries = registry.entries;
    for (auto it = entries.begin(); it != entries.end(); ++it) {
      if (it->clsid == clsid) {
        if (factory == nullptr)
          entries.erase(it);
        else
          it->factory = factory;
        return S_OK;
      }
    }
    if (factory != nullptr) entries.push_back({clsid, factory});
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD /*context*/, REFIID riid,
                         void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  try {
    QrnClassFactory factory = nullptr;
    {
      ClassRegistry& registry = Registry();
      std::lock_guard<std::mutex> guard(registry.lock);
      for (const ClassEntry& entry : registry.entries)
        if (entry.clsid == clsid) factory = entry.factory;
    }
    if (factory == nullptr) return REGDB_E_CLASSNOTREG;
    // Outside the lock: a factory may create further objects.
    return factory(riid, object);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT CLSIDFromString(const OLECHAR* text, CLSID* clsid) {
  if (clsid == nullptr) return E_INVALIDARG;
  if (text == nullptr) return CO_E_CLASSSTRING;
  // Every read below stops at the first mismatch, so a short text (its NUL)
  // is never read past.
  int pos = 0;
  uint32_t v;
  CLSID result{};
  if (!Expect(text, &pos, u'{') || !ReadHex(text, &pos, 8, &v)) return CO_E_CLASSSTRING;
  result.Data1 = v;
  if (!Expect(text, &pos, u'-') || !ReadHex(text, &pos, 4, &v)) return CO_E_CLASSSTRING;
  result.Data2 = static_cast<uint16_t>(v);
  if (!Expect(text, &pos, u'-') || !ReadHex(text, &pos, 4, &v)) return CO_E_CLASSSTRING;
  result.Data3 = static_cast<uint16_t>(v);
  if (!Expect(text, &pos, u'-')) return CO_E_CLASSSTRING;
  for (int i = 0; i < 8; ++i) {
    if (i == 2 && !Expect(text, &pos, u'-')) return CO_E_CLASSSTRING;
    if (!ReadHex(text, &pos, 2, &v)) return CO_E_CLASSSTRING;
    result.Data4[i] = static_cast<uint8_t>(v);
  }
  if (!Expect(text, &pos, u'}') || text[pos] != 0) return CO_E_CLASSSTRING;
  *clsid = result;
  return S_OK;
}

int StringFromGUID2(REFGUID guid, OLECHAR* text, int max_chars) {
  if (text == nullptr || max_chars < kGuidChars + 1) return 0;
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  int pos = 0;
  auto put_hex = [&](uint32_t value, int digits) {
    for (int i = digits - 1; i >= 0; --i) text[pos++] = kHex[(value >> (4 * i)) & 0xF];
  };
  text[pos++] = u'{';
  put_hex(guid.Data1, 8);
  text[pos++] = u'-';
  put_hex(guid.Data2, 4);
  text[pos++] = u'-';
  put_hex(guid.Data3, 4);
  text[pos++] = u'-';
  for (int i = 0; i < 8; ++i) {
    if (i == 2) text[pos++] = u'-';
    put_hex(guid.Data4[i], 2);
  }
  text[pos++] = u'}';
  text[pos++] = 0;
  return pos;
}

}  // extern "C"
