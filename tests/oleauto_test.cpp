// The OLE Automation subset: BSTR layout, VARIANT ownership, SAFEARRAY
// addressing, locks and VarBstrCmp.
#include "qrnauth/oleauto.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qrnauth/com.h"

namespace {

// Counts references; never deletes itself, so the test can read the count.
struct CountingObject : IUnknown {
  ULONG refs = 1;
  HRESULT QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
};

BSTR Bstr(std::u16string_view text) {
  return SysAllocStringLen(text.data(), static_cast<unsigned int>(text.size()));
}

std::u16string Text(BSTR b) { return std::u16string(b, SysStringLen(b)); }

TEST(Bstr, LengthPrefixTerminatorAndEmbeddedNuls) {
  const char16_t with_nul[] = u"ab\0cd";
  BSTR b = SysAllocStringLen(with_nul, 5);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b), 5u);
  EXPECT_EQ(SysStringByteLen(b), 10u);
  uint32_t prefix;
  std::memcpy(&prefix, reinterpret_cast<char*>(b) - 4, 4);
  EXPECT_EQ(prefix, 10u);
  EXPECT_EQ(b[2], u'\0');
  EXPECT_EQ(b[5], u'\0');  // terminator after the counted text
  EXPECT_EQ(Text(b), std::u16string(with_nul, 5));

  // SysAllocString stops at the first NUL.
  BSTR c = SysAllocString(with_nul);
  EXPECT_EQ(SysStringLen(c), 2u);

  // An odd byte count keeps its exact length and is still terminated.
  BSTR odd = SysAllocStringByteLen("xyz", 3);
  EXPECT_EQ(SysStringByteLen(odd), 3u);
  EXPECT_EQ(SysStringLen(odd), 1u);
  EXPECT_EQ(std::memcmp(odd, "xyz\0\0", 5), 0);

  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);

  // Re-allocating from the BSTR's own text must not read freed memory.
  ASSERT_EQ(SysReAllocString(&b, b + 3), 1);
  EXPECT_EQ(Text(b), u"cd");
  SysFreeString(b);
  SysFreeString(c);
  SysFreeString(odd);
}

TEST(Variant, CopyOfBstrArrayIsDeep) {
  SAFEARRAY* names = SafeArrayCreateVector(VT_VARIANT, 0, 3);
  ASSERT_NE(names, nullptr);
  const std::u16string texts[3] = {u"alice", u"", u"M\u00fcller"};
  for (LONG i = 0; i < 3; ++i) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = Bstr(texts[i]);
    ASSERT_EQ(SafeArrayPutElement(names, &i, &v), S_OK);
    VariantClear(&v);  // the array holds its own copy
  }
  VARIANT original;
  VariantInit(&original);
  original.vt = VT_ARRAY | VT_VARIANT;
  original.parray = names;

  VARIANT copy;
  VariantInit(&copy);
  ASSERT_EQ(VariantCopy(&copy, &original), S_OK);
  ASSERT_EQ(copy.vt, VT_ARRAY | VT_VARIANT);
  ASSERT_NE(copy.parray, original.parray);

  VARIANT* a;
  VARIANT* b;
  ASSERT_EQ(SafeArrayAccessData(original.parray, reinterpret_cast<void**>(&a)), S_OK);
  ASSERT_EQ(SafeArrayAccessData(copy.parray, reinterpret_cast<void**>(&b)), S_OK);
  EXPECT_NE(a[0].bstrVal, b[0].bstrVal);
  SafeArrayUnaccessData(original.parray);
  SafeArrayUnaccessData(copy.parray);

  ASSERT_EQ(VariantClear(&original), S_OK);
  EXPECT_EQ(original.vt, VT_EMPTY);
  for (LONG i = 0; i < 3; ++i) {
    VARIANT v;
    ASSERT_EQ(SafeArrayGetElement(copy.parray, &i, &v), S_OK);
    EXPECT_EQ(v.vt, VT_BSTR);
    EXPECT_EQ(Text(v.bstrVal), texts[i]);
    VariantClear(&v);
  }
  EXPECT_EQ(VariantClear(&copy), S_OK);
}

TEST(Variant, InterfacesAreReferencedNotCopied) {
  CountingObject object;
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_UNKNOWN;
  v.punkVal = &object;
  object.AddRef();  // the reference v owns
  VARIANT copy;
  VariantInit(&copy);
  ASSERT_EQ(VariantCopy(&copy, &v), S_OK);
  EXPECT_EQ(copy.punkVal, &object);
  EXPECT_EQ(object.refs, 3u);

  // An array of interfaces takes a reference per element and drops it.
  SAFEARRAY* array = SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
  LONG i = 1;
  ASSERT_EQ(SafeArrayPutElement(array, &i, &object), S_OK);
  EXPECT_EQ(object.refs, 4u);
  ASSERT_EQ(SafeArrayDestroy(array), S_OK);
  EXPECT_EQ(object.refs, 3u);

  VariantClear(&copy);
  VariantClear(&v);
  EXPECT_EQ(object.refs, 1u);
}

TEST(SafeArray, ThreeDimensionsAddressingAndBounds) {
  // Creation order: 2 x 3 x 4 with lower bounds 1, -1, 10.
  const SAFEARRAYBOUND bounds[3] = {{2, 1}, {3, -1}, {4, 10}};
  SAFEARRAY* array = SafeArrayCreate(VT_I4, 3, bounds);
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(SafeArrayGetDim(array), 3u);
  EXPECT_EQ(SafeArrayGetElemsize(array), 4u);
  // Stored reversed: the last creation dimension comes first.
  EXPECT_EQ(array->rgsabound[0].cElements, 4u);
  EXPECT_EQ(array->rgsabound[0].lLbound, 10);
  EXPECT_EQ(array->rgsabound[2].cElements, 2u);
  EXPECT_EQ(array->rgsabound[2].lLbound, 1);

  const LONG lower[3] = {1, -1, 10}, upper[3] = {2, 1, 13};
  for (unsigned int d = 1; d <= 3; ++d) {
    LONG lb, ub;
    ASSERT_EQ(SafeArrayGetLBound(array, d, &lb), S_OK);
    ASSERT_EQ(SafeArrayGetUBound(array, d, &ub), S_OK);
    EXPECT_EQ(lb, lower[d - 1]);
    EXPECT_EQ(ub, upper[d - 1]);
  }
  LONG bound;
  EXPECT_EQ(SafeArrayGetLBound(array, 0, &bound), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayGetUBound(array, 4, &bound), DISP_E_BADINDEX);

  for (LONG i = 1; i <= 2; ++i)
    for (LONG j = -1; j <= 1; ++j)
      for (LONG k = 10; k <= 13; ++k) {
        LONG index[3] = {i, j, k};
        LONG value = i * 100 + j * 10 + k;
        ASSERT_EQ(SafeArrayPutElement(array, index, &value), S_OK);
      }
  // The first index varies fastest in memory.
  LONG* data;
  ASSERT_EQ(SafeArrayAccessData(array, reinterpret_cast<void**>(&data)), S_OK);
  for (LONG i = 1; i <= 2; ++i)
    for (LONG j = -1; j <= 1; ++j)
      for (LONG k = 10; k <= 13; ++k)
        EXPECT_EQ(data[(i - 1) + 2 * (j + 1) + 6 * (k - 10)], i * 100 + j * 10 + k);
  SafeArrayUnaccessData(array);

  const LONG outside[][3] = {{0, 0, 10}, {3, 0, 10}, {1, -2, 10},
                             {1, 2, 10}, {1, 0, 9},  {1, 0, 14}};
  for (const auto& index : outside) {
    LONG value = 7;
    EXPECT_EQ(SafeArrayPutElement(array, index, &value), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetElement(array, index, &value), DISP_E_BADINDEX);
    EXPECT_EQ(value, 7);
  }
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);

  // Types an array cannot hold, and zero dimensions, give no array.
  EXPECT_EQ(SafeArrayCreate(VT_EMPTY, 1, bounds), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_I4, 0, bounds), nullptr);
  // An upper bound past the LONG range is refused rather than wrapped.
  const SAFEARRAYBOUND huge = {2, 0x7FFFFFFF};
  EXPECT_EQ(SafeArrayCreate(VT_UI1, 1, &huge), nullptr);
}

TEST(SafeArray, LocksProtectAgainstDestruction) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, 2);
  ASSERT_NE(array, nullptr);
  BSTR text = Bstr(u"kept");
  LONG i = 0;
  ASSERT_EQ(SafeArrayPutElement(array, &i, text), S_OK);
  SysFreeString(text);

  ASSERT_EQ(SafeArrayLock(array), S_OK);
  void* data;
  ASSERT_EQ(SafeArrayAccessData(array, &data), S_OK);
  EXPECT_EQ(array->cLocks, 2u);
  EXPECT_EQ(SafeArrayDestroy(array), DISP_E_ARRAYISLOCKED);

  // A VARIANT owning a locked array keeps it when cleared.
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_ARRAY | VT_BSTR;
  v.parray = array;
  EXPECT_EQ(VariantClear(&v), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(v.parray, array);

  BSTR out = nullptr;
  ASSERT_EQ(SafeArrayGetElement(array, &i, &out), S_OK);
  EXPECT_EQ(Text(out), u"kept");
  EXPECT_NE(out, static_cast<BSTR*>(data)[0]);  // a copy, not the stored text
  SysFreeString(out);

  EXPECT_EQ(SafeArrayUnaccessData(array), S_OK);
  EXPECT_EQ(SafeArrayUnlock(array), S_OK);
  EXPECT_EQ(SafeArrayUnlock(array), E_UNEXPECTED);
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);
}

TEST(SafeArray, CopyKeepsShapeTypeAndOwnsElements) {
  const SAFEARRAYBOUND bounds[2] = {{2, 5}, {3, 0}};
  SAFEARRAY* array = SafeArrayCreate(VT_BSTR, 2, bounds);
  LONG index[2] = {6, 2};
  BSTR text = Bstr(u"corner");
  ASSERT_EQ(SafeArrayPutElement(array, index, text), S_OK);
  // Replacing an element frees the old one (checked by the sanitizer run).
  ASSERT_EQ(SafeArrayPutElement(array, index, text), S_OK);
  SysFreeString(text);

  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(array, &copy), S_OK);
  ASSERT_EQ(SafeArrayDestroy(array), S_OK);
  VARTYPE vt;
  ASSERT_EQ(SafeArrayGetVartype(copy, &vt), S_OK);
  EXPECT_EQ(vt, VT_BSTR);
  LONG lb;
  SafeArrayGetLBound(copy, 1, &lb);
  EXPECT_EQ(lb, 5);
  BSTR out = nullptr;
  ASSERT_EQ(SafeArrayGetElement(copy, index, &out), S_OK);
  EXPECT_EQ(Text(out), u"corner");
  SysFreeString(out);
  LONG empty_slot[2] = {5, 0};
  ASSERT_EQ(SafeArrayGetElement(copy, empty_slot, &out), S_OK);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
}

TEST(VarBstrCmp, CodeUnitOrderAndIgnoreCase) {
  BSTR upper = Bstr(u"M\u00dcLLER");
  BSTR lower = Bstr(u"m\u00fcller");
  BSTR empty = Bstr(u"");
  EXPECT_EQ(VarBstrCmp(upper, lower, LOCALE_USER_DEFAULT, 0), VARCMP_LT);
  EXPECT_EQ(VarBstrCmp(lower, upper, LOCALE_USER_DEFAULT, 0), VARCMP_GT);
  EXPECT_EQ(VarBstrCmp(upper, lower, LOCALE_USER_DEFAULT, NORM_IGNORECASE), VARCMP_EQ);
  EXPECT_EQ(VarBstrCmp(nullptr, empty, LOCALE_USER_DEFAULT, 0), VARCMP_EQ);
  EXPECT_EQ(VarBstrCmp(nullptr, nullptr, LOCALE_USER_DEFAULT, 0), VARCMP_EQ);
  EXPECT_EQ(VarBstrCmp(nullptr, lower, LOCALE_USER_DEFAULT, 0), VARCMP_LT);

  // Embedded NULs take part: "a\0b" is longer than "a".
  const char16_t nul_text[] = u"a\0b";
  BSTR with_nul = SysAllocStringLen(nul_text, 3);
  BSTR a = Bstr(u"a");
  EXPECT_EQ(VarBstrCmp(with_nul, a, LOCALE_USER_DEFAULT, 0), VARCMP_GT);

  // Code units compare unsigned: a surrogate pair (U+10000) sorts below U+FF21.
  BSTR astral = Bstr(u"\U00010000");
  BSTR fullwidth = Bstr(u"\uFF21");
  EXPECT_EQ(VarBstrCmp(astral, fullwidth, LOCALE_USER_DEFAULT, 0), VARCMP_LT);

  for (BSTR b : {upper, lower, empty, with_nul, a, astral, fullwidth}) SysFreeString(b);
}

}  // namespace
