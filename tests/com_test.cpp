// Minimal COM: the class registry, CoCreateInstance and the GUID text form.
#include "qrnauth/com.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr CLSID kWidget = {
    0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
constexpr IID kIWidget = {0xCAFEF00D, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};

std::atomic<int> live_widgets{0};

struct Widget final : IUnknown {
  std::atomic<ULONG> refs{1};
  Widget() { ++live_widgets; }
  ~Widget() { --live_widgets; }
  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IUnknown || riid == kIWidget) {
      *object = this;
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override {
    ULONG left = --refs;
    if (left == 0) delete this;
    return left;
  }
};

HRESULT CreateWidget(REFIID riid, void** object) {
  Widget* widget = new Widget;
  HRESULT hr = widget->QueryInterface(riid, object);
  widget->Release();
  return hr;
}

TEST(Com, RegisteredClassIsCreatedAndRemovable) {
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(CoCreateInstance(kWidget, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(object, nullptr);

  ASSERT_EQ(QrnRegisterClass(kWidget, CreateWidget), S_OK);
  ASSERT_EQ(CoCreateInstance(kWidget, nullptr, CLSCTX_ALL, kIWidget, &object), S_OK);
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(live_widgets, 1);
  static_cast<IUnknown*>(object)->Release();
  EXPECT_EQ(live_widgets, 0);

  // The factory's answer is passed on, and aggregation is refused.
  EXPECT_EQ(CoCreateInstance(kWidget, nullptr, CLSCTX_ALL, IID_IClientSecurity, &object),
            E_NOINTERFACE);
  Widget outer;
  EXPECT_EQ(CoCreateInstance(kWidget, &outer, CLSCTX_ALL, IID_IUnknown, &object),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(CoCreateInstance(kWidget, nullptr, CLSCTX_ALL, IID_IUnknown, nullptr), E_POINTER);

  ASSERT_EQ(QrnRegisterClass(kWidget, nullptr), S_OK);
  EXPECT_EQ(CoCreateInstance(kWidget, nullptr, CLSCTX_ALL, IID_IUnknown, &object),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(live_widgets, 1);  // only `outer`
}

TEST(Com, RegistryIsSafeAcrossThreads) {
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (uint32_t t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failures] {
      for (uint16_t n = 0; n < 200; ++n) {
        CLSID id = kWidget;
        id.Data1 = t;
        id.Data2 = n;
        if (QrnRegisterClass(id, CreateWidget) != S_OK) ++failures;
        void* object = nullptr;
        if (CoCreateInstance(id, nullptr, CLSCTX_ALL, IID_IUnknown, &object) != S_OK) {
          ++failures;
          continue;
        }
        static_cast<IUnknown*>(object)->Release();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(live_widgets, 0);
}

TEST(Com, GuidTextRoundTrip) {
  OLECHAR text[39];
  ASSERT_EQ(StringFromGUID2(IID_IClientSecurity, text, 39), 39);
  EXPECT_EQ(std::u16string(text), u"{0000013D-0000-0000-C000-000000000046}");
  ASSERT_EQ(StringFromGUID2(IID_IUnknown, text, 39), 39);
  EXPECT_EQ(std::u16string(text), u"{00000000-0000-0000-C000-000000000046}");
  EXPECT_EQ(StringFromGUID2(kWidget, text, 38), 0);  // no room for the terminator

  ASSERT_EQ(StringFromGUID2(kWidget, text, 39), 39);
  CLSID parsed{};
  ASSERT_EQ(CLSIDFromString(text, &parsed), S_OK);
  EXPECT_TRUE(parsed == kWidget);
  // Lower-case hex reads the same.
  ASSERT_EQ(CLSIDFromString(u"{12345678-9abc-def0-0123-456789abcdef}", &parsed), S_OK);
  EXPECT_TRUE(parsed == kWidget);

  const char16_t* malformed[] = {
      u"",
      u"12345678-9ABC-DEF0-0123-456789ABCDEF",
      u"{12345678-9ABC-DEF0-0123-456789ABCDE}",
      u"{12345678-9ABC-DEF0-0123-456789ABCDEF}x",
      u"{12345678-9ABC-DEF0-01230-456789ABCDEF",
      u"{1234567G-9ABC-DEF0-0123-456789ABCDEF}",
      u"{12345678_9ABC-DEF0-0123-456789ABCDEF}",
  };
  for (const char16_t* bad : malformed) {
    CLSID untouched = kWidget;
    EXPECT_TRUE(FAILED(CLSIDFromString(bad, &untouched)));
    EXPECT_TRUE(untouched == kWidget);
  }
}

}  // namespace
