// The two error trails, their recording rule and their event-log copy.
#include "frame/trail.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "frame/config.h"
#include "platform/os.h"
#include "platform/text.h"

namespace qrn {

// Constant-initialised, so reports from other modules' static initialisers
// find them ready whatever the order of initialisation.
constinit ErrorTrail authenticationTrail{};
constinit ErrorTrail authorizationTrail{};

namespace {

constexpr int32_t kTrailEntries = 6;
constexpr int32_t kTrailColumns = 4;
constexpr size_t kEventTextBytes = 256;   // the formatted event text, NUL included
constexpr size_t kEventFieldBytes = 260;  // each text of the event copy, NUL included
constexpr char kEventFormat[] = "%s, Error: %ld, Result: %s, Source: %s";

// Frees the entry array and the source text when the library is unloaded.
// It is constructed first (lowest priority number) so that it is destroyed
// last, after any other static object that might still report.
struct TrailRelease {
  ~TrailRelease() {
    for (ErrorTrail* trail : {&authenticationTrail, &authorizationTrail}) {
      std::lock_guard<std::mutex> guard(trail->lock);
      VariantClear(&trail->errors);
      SysFreeString(trail->source);
      trail->source = nullptr;
      // Full: a report made after this point is still passed on and sent
      // to the event log, but stores nothing that would outlive the module.
      trail->count = kTrailEntries;
    }
  }
};
__attribute__((init_priority(101))) TrailRelease trail_release;

// A BSTR of UTF-8 text; null text gives the empty BSTR. Throws on a failed
// allocation, which ends the report.
BSTR MakeBstr(const char* text) {
  std::u16string wide = platform::Utf8ToUtf16(text == nullptr ? "" : text);
  BSTR result = SysAllocStringLen(wide.data(), static_cast<unsigned int>(wide.size()));
  if (result == nullptr) throw std::bad_alloc();
  return result;
}

// Frees the BSTRs of one report whatever way it ends.
struct BstrHolder {
  BSTR value = nullptr;
  ~BstrHolder() { SysFreeString(value); }
};

// The UTF-8 form of a BSTR when it fits a buffer of kEventFieldBytes (its
// NUL included); false otherwise.
bool EventField(BSTR text, std::string* out) {
  *out =
      platform::Utf16ToUtf8(std::u16string_view(text == nullptr ? u"" : text, SysStringLen(text)));
  return out->size() < kEventFieldBytes;
}

HRESULT PutBstr(SAFEARRAY* array, LONG entry, LONG column, BSTR text) {
  LONG index[2] = {entry, column};
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_BSTR;
  value.bstrVal = text;  // borrowed: PutElement copies it
  return SafeArrayPutElement(array, index, &value);
}

HRESULT PutStatus(SAFEARRAY* array, LONG entry, HRESULT status) {
  LONG index[2] = {entry, 1};
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_I4;
  value.lVal = status;
  return SafeArrayPutElement(array, index, &value);
}

// StoreTrailEntry with the trail's lock held by the caller.
HRESULT StoreLocked(ErrorTrail& trail, BSTR step, HRESULT status, BSTR detail) {
  std::string step_text, detail_text, source_text;
  // The conversions are skipped when no event would be written.
  if (EventLoggingEnabled() && EventField(step, &step_text) && EventField(detail, &detail_text) &&
      EventField(trail.source, &source_text)) {
    ReportTrailEvent(kEventFormat, step_text.c_str(), static_cast<long>(status),
                     detail_text.c_str(), source_text.c_str());
  }

  if (trail.count >= kTrailEntries) return S_FALSE;
  if (trail.count == 0 && trail.errors.vt == VT_EMPTY) {
    SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(kTrailEntries), 0},
                                {static_cast<ULONG>(kTrailColumns), 0}};
    SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, 2, bounds);
    if (array == nullptr) return E_OUTOFMEMORY;
    trail.errors.vt = VT_ARRAY | VT_VARIANT;
    trail.errors.parray = array;
  }
  SAFEARRAY* array = trail.errors.parray;
  LONG entry = trail.count;
  HRESULT hr = PutBstr(array, entry, 0, step);
  if (FAILED(hr)) return hr;
  hr = PutStatus(array, entry, status);
  if (FAILED(hr)) return hr;
  PutBstr(array, entry, 2, detail);  // a missing detail text does not lose the entry
  hr = PutBstr(array, entry, 3, trail.source);
  SysFreeString(trail.source);
  trail.source = SysAllocString(u"");  // null is the empty text too, should this fail
  if (SUCCEEDED(hr)) ++trail.count;
  return hr;
}

}  // namespace

HRESULT AddTrailEntry(ErrorTrail& trail, const char* source_file, int32_t line,
                      const char* function, const char* called, const char* step, HRESULT status,
                      const char* detail) {
  // The common case, a step that succeeded, costs one comparison and no
  // allocation. The step text is compared exactly (letter case counts); the
  // fixed text is ASCII, so comparing the UTF-8 bytes gives the same answer
  // as comparing the UTF-16 forms.
  if (status == 0 && std::strcmp(step == nullptr ? "" : step, kServerAvailabilityStep) != 0)
    return status;
  try {
    BstrHolder step_text, detail_text;
    step_text.value = MakeBstr(step);
    detail_text.value = MakeBstr(detail);

    std::string source = source_file == nullptr ? "" : source_file;
    source += '(';
    source += std::to_string(line);
    source += "):";
    if (function != nullptr) source += function;
    source += '.';
    if (called != nullptr) source += called;
    BstrHolder source_text;
    source_text.value = MakeBstr(source.c_str());

    std::lock_guard<std::mutex> guard(trail.lock);
    SysFreeString(trail.source);
    trail.source = std::exchange(source_text.value, nullptr);
    StoreLocked(trail, step_text.value, status, detail_text.value);
  } catch (...) {
    // Reporting never fails the reporting operation.
  }
  return status;
}

HRESULT StoreTrailEntry(ErrorTrail& trail, BSTR step, HRESULT status, BSTR detail) {
  try {
    std::lock_guard<std::mutex> guard(trail.lock);
    return StoreLocked(trail, step, status, detail);
  } catch (...) {
    return E_UNEXPECTED;
  }
}

void ReportTrailEvent(const char* format, ...) {
  try {
    if (!EventLoggingEnabled()) return;
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    char text[kEventTextBytes];
    int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0) {
      va_end(again);
      return;
    }
    if (static_cast<size_t>(length) < sizeof text) {
      va_end(again);
      platform::WriteEvent(std::string_view(text, static_cast<size_t>(length)));
      return;
    }
    // Too long for the buffer: format it whole once more so that the cut to
    // 255 bytes can see where the character at the cut ends.
    std::string whole(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(whole.data(), whole.size(), format, again);
    va_end(again);
    whole.resize(static_cast<size_t>(length));
    platform::WriteEvent(platform::CutAtCharBoundary(whole, kEventTextBytes - 1));
  } catch (...) {
    // A lost event is dropped without a report.
  }
}

}  // namespace qrn
