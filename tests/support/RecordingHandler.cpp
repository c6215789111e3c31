#include "support/RecordingHandler.h"

#include <stdexcept>

#include "VQError/VQError.h"
#include "vqplatform/kernel.h"

namespace vqtest {

void RecordingHandler::Handle(HandlerSlot slot, DWORD first, DWORD second) {
    m_journal.Append(HandlerEvent{this, slot, first, second, GetCurrentThreadId()});
    switch (m_throws[static_cast<int>(slot)].load()) {
        case ThrowKind::None:
            return;
        case ThrowKind::StdException:
            throw std::runtime_error("thrown by a recording handler");
        case ThrowKind::WrappedVQException:
            throw XVQExceptionFactory::DoCreateException(
                XVQEXCEP::TYPE_MODULE,
                VQErrorLocation("RecordingHandler.cpp", __LINE__, XVQComBSTR(L"tests"),
                                XVQComBSTR(L"RecordingHandler::Handle")),
                E_FAIL, XVQEXCEP::SEVERITY_WARNING, -1, L"thrown by a recording handler", L"", 1);
        case ThrowKind::Other:
            throw 42;
    }
}

}  // namespace vqtest
