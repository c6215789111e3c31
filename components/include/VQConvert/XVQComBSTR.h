/// @file
/// The wide, COM-compatible string of the maker's string library, and UTF-8 conversion.

/// @class XVQComBSTR
/// The wide, COM-compatible string of the maker's string library. It owns a BSTR
/// (length-prefixed, null-terminated); an empty text is held as a null BSTR. Copies are deep.
/// Narrow input is taken as UTF-8; ToUtf8 converts back for logs. Never throws except
/// std::bad_alloc.
#pragma once

#include <string>

#include "VQConvert/VQConvertExport.h"
#include "vqplatform/com.h"

class VQCONVERT_API XVQComBSTR {
  public:
    /// An empty text.
    XVQComBSTR() noexcept = default;
    /// Copies a wide text.
    /// @param text Null-terminated; null gives an empty text.
    XVQComBSTR(const OLECHAR* text);  // NOLINT(google-explicit-constructor): literals convert
    /// Converts a narrow text.
    /// @param utf8 Null-terminated UTF-8 (invalid sequences are replaced); null gives an empty text.
    explicit XVQComBSTR(const char* utf8);
    /// Copies the text.
    /// @param other The string copied.
    XVQComBSTR(const XVQComBSTR& other);
    /// Takes over the text; the other string is empty afterwards.
    /// @param other The string moved from.
    XVQComBSTR(XVQComBSTR&& other) noexcept;
    /// Frees the BSTR.
    virtual ~XVQComBSTR();

    /// Copies the text.
    /// @param other The string assigned.
    /// @return This string.
    XVQComBSTR& operator=(const XVQComBSTR& other);
    /// Takes over the text; the other string is empty afterwards.
    /// @param other The string moved from.
    /// @return This string.
    XVQComBSTR& operator=(XVQComBSTR&& other) noexcept;
    /// Copies a wide text; the caller keeps and frees its pointer.
    /// @param text Null-terminated; null gives an empty text.
    /// @return This string.
    XVQComBSTR& operator=(const OLECHAR* text);
    /// Takes a BSTR without copying it and frees the text held before. An empty one is freed at once
    /// and the string becomes empty.
    /// @param text A BSTR of SysAllocString's family, now owned by this string; null allowed.
    void Attach(BSTR text) noexcept;

    /// @return The text, never null: an empty text gives L"".
    operator const OLECHAR*() const noexcept;  // NOLINT(google-explicit-constructor)
    /// @return The BSTR itself (null when empty), to lend to a COM call.
    BSTR GetBSTR() const noexcept { return m_str; }
    /// @return Whether the text is empty.
    bool IsEmpty() const noexcept;
    /// @return The number of wide characters.
    UINT Length() const noexcept;
    /// @return The text as a wide string.
    std::wstring ToWString() const;
    /// @return The text as UTF-8, for logs.
    std::string ToUtf8() const;

    /// @param a A string.
    /// @param b Another string.
    /// @return Whether both hold the same text (an empty text equals a null one).
    friend VQCONVERT_API bool operator==(const XVQComBSTR& a, const XVQComBSTR& b) noexcept;
    /// @param a A string.
    /// @param b Another string.
    /// @return Whether the texts differ.
    friend bool operator!=(const XVQComBSTR& a, const XVQComBSTR& b) noexcept { return !(a == b); }

  private:
    BSTR m_str = nullptr;
};

/// Converts wide text to UTF-8, as the components do (invalid input is replaced, never thrown on).
/// @param text Null-terminated; null gives an empty string.
/// @return The UTF-8 text.
VQCONVERT_API std::string VQWideToUtf8(const wchar_t* text);
/// Converts UTF-8 to wide text, as the components do (invalid input is replaced, never thrown on).
/// @param text Null-terminated; null gives an empty string.
/// @return The wide text.
VQCONVERT_API std::wstring VQUtf8ToWide(const char* text);
