// XVQComBSTR: the wide, COM-compatible string of the maker's string library. It owns a BSTR
// (length-prefixed, null-terminated); an empty text is held as a null BSTR. Copies are deep.
// Narrow input is taken as UTF-8; ToUtf8 converts back for logs. Never throws except
// std::bad_alloc.
#pragma once

#include <string>

#include "VQConvert/VQConvertExport.h"
#include "vqplatform/com.h"

class VQCONVERT_API XVQComBSTR {
  public:
    XVQComBSTR() noexcept = default;
    XVQComBSTR(const OLECHAR* text);  // NOLINT(google-explicit-constructor): literals convert
    explicit XVQComBSTR(const char* utf8);
    XVQComBSTR(const XVQComBSTR& other);
    XVQComBSTR(XVQComBSTR&& other) noexcept;
    virtual ~XVQComBSTR();

    XVQComBSTR& operator=(const XVQComBSTR& other);
    XVQComBSTR& operator=(XVQComBSTR&& other) noexcept;
    // Copies the text; the caller keeps and frees its pointer.
    XVQComBSTR& operator=(const OLECHAR* text);
    // Takes `text`, a BSTR of SysAllocString's family (null allowed), without copying it; frees the
    // text held before. An empty `text` is freed at once and the string becomes empty.
    void Attach(BSTR text) noexcept;

    // Never null: an empty text gives L"".
    operator const OLECHAR*() const noexcept;  // NOLINT(google-explicit-constructor)
    // The BSTR itself (null when empty), to lend to a COM call.
    BSTR GetBSTR() const noexcept { return m_str; }
    bool IsEmpty() const noexcept;
    UINT Length() const noexcept;
    std::wstring ToWString() const;
    std::string ToUtf8() const;

    friend bool operator==(const XVQComBSTR& a, const XVQComBSTR& b) noexcept;
    friend bool operator!=(const XVQComBSTR& a, const XVQComBSTR& b) noexcept { return !(a == b); }

  private:
    BSTR m_str = nullptr;
};

// UTF-8 <-> wide conversion used by the components (invalid input is replaced, never thrown on).
VQCONVERT_API std::string VQWideToUtf8(const wchar_t* text);
VQCONVERT_API std::wstring VQUtf8ToWide(const char* text);
