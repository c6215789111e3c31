#include "VQConvert/XVQComBSTR.h"

#include <cwchar>
#include <new>
#include <utility>

namespace {

// Empty text is held as a null BSTR, as COM treats both alike.
BSTR Allocate(const OLECHAR* text, std::size_t length) {
    if (text == nullptr || length == 0) {
        return nullptr;
    }
    BSTR result = SysAllocStringLen(text, static_cast<UINT>(length));
    if (result == nullptr) {
        throw std::bad_alloc();
    }
    return result;
}

BSTR Allocate(const OLECHAR* text) {
    return text == nullptr ? nullptr : Allocate(text, std::wcslen(text));
}

}  // namespace

XVQComBSTR::XVQComBSTR(const OLECHAR* text) : m_str(Allocate(text)) {}

XVQComBSTR::XVQComBSTR(const char* utf8) {
    const std::wstring wide = VQUtf8ToWide(utf8);
    m_str = Allocate(wide.data(), wide.size());
}

XVQComBSTR::XVQComBSTR(const XVQComBSTR& other) : m_str(Allocate(other.m_str, other.Length())) {}

XVQComBSTR::XVQComBSTR(XVQComBSTR&& other) noexcept : m_str(std::exchange(other.m_str, nullptr)) {}

XVQComBSTR::~XVQComBSTR() {
    SysFreeString(m_str);
}

XVQComBSTR& XVQComBSTR::operator=(const XVQComBSTR& other) {
    if (this != &other) {
        BSTR copy = Allocate(other.m_str, other.Length());
        SysFreeString(m_str);
        m_str = copy;
    }
    return *this;
}

XVQComBSTR& XVQComBSTR::operator=(XVQComBSTR&& other) noexcept {
    if (this != &other) {
        SysFreeString(m_str);
        m_str = std::exchange(other.m_str, nullptr);
    }
    return *this;
}

XVQComBSTR& XVQComBSTR::operator=(const OLECHAR* text) {
    // Allocated before the old text is freed: `text` may point into it.
    BSTR copy = Allocate(text);
    SysFreeString(m_str);
    m_str = copy;
    return *this;
}

void XVQComBSTR::Attach(BSTR text) noexcept {
    if (text == m_str) {
        return;
    }
    SysFreeString(m_str);
    m_str = text;
    if (SysStringLen(m_str) == 0) {
        SysFreeString(std::exchange(m_str, nullptr));
    }
}

XVQComBSTR::operator const OLECHAR*() const noexcept {
    return m_str != nullptr ? m_str : L"";
}

bool XVQComBSTR::IsEmpty() const noexcept {
    return Length() == 0;
}

UINT XVQComBSTR::Length() const noexcept {
    return SysStringLen(m_str);
}

std::wstring XVQComBSTR::ToWString() const {
    return std::wstring(static_cast<const OLECHAR*>(*this), Length());
}

std::string XVQComBSTR::ToUtf8() const {
    return VQWideToUtf8(static_cast<const OLECHAR*>(*this));
}

VQCONVERT_API bool operator==(const XVQComBSTR& a, const XVQComBSTR& b) noexcept {
    const UINT length = a.Length();
    return length == b.Length() && std::wmemcmp(a, b, length) == 0;
}
