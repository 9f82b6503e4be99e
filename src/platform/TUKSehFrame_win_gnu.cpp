#include "platform/TUKSehFrame_win_p.h"

// g++ for x86-64 Windows: the frame is a small function written in assembly whose unwind data
// names a handler of ours (the same mechanism __try uses). The handler takes every exception that
// reaches the frame while it is being looked for (the first pass), records it and unwinds the
// stack to the frame's landing point, which returns false. Unwinding passes (an outer handler's,
// a longjmp, our own unwind arriving at the frame) are left to go on.
//
// Frame layout: 40 bytes below the return address: 32 of them are the callee's home space, the
// next 8 hold the SehException pointer. The frame has no frame pointer, so the establisher frame
// the system hands the handler is the stack pointer after the prologue, and the pointer is found
// 32 bytes above it.

extern "C" {
bool tukSehFrameCall(tuk::platform::GuardedWork work, void* context,
                     tuk::platform::SehException* exception);
void tukSehFrameLanding();
EXCEPTION_DISPOSITION tukSehFrameHandler(EXCEPTION_RECORD* record, void* establisherFrame,
                                         CONTEXT* context, DISPATCHER_CONTEXT* dispatch);
}

asm(R"(
    .text
    .p2align 4
    .globl tukSehFrameCall
    .def tukSehFrameCall; .scl 2; .type 32; .endef
    .seh_proc tukSehFrameCall
tukSehFrameCall:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    .seh_handler tukSehFrameHandler, @except
    movq %r8, 32(%rsp)
    movq %rcx, %rax
    movq %rdx, %rcx
    callq *%rax
    movl $1, %eax
    addq $40, %rsp
    ret
    .globl tukSehFrameLanding
tukSehFrameLanding:
    xorl %eax, %eax
    addq $40, %rsp
    ret
    .seh_endproc
)");

extern "C" __attribute__((used)) EXCEPTION_DISPOSITION
tukSehFrameHandler(EXCEPTION_RECORD* record, void* establisherFrame, CONTEXT* context,
                   DISPATCHER_CONTEXT* dispatch)
{
    if (record->ExceptionFlags & EXCEPTION_UNWIND)
        return ExceptionContinueSearch;
    auto* exception =
        *reinterpret_cast<tuk::platform::SehException**>(static_cast<char*>(establisherFrame) + 32);
    tuk::platform::recordSehException(*record, exception);
    // Does not return: the stack is unwound to the landing point, with the frames in between
    // given their unwinding pass.
    ::RtlUnwindEx(establisherFrame, reinterpret_cast<void*>(&tukSehFrameLanding), record, nullptr,
                  context, dispatch->HistoryTable);
    return ExceptionContinueSearch;
}

namespace tuk {
namespace platform {

bool callInSehFrame(GuardedWork work, void* context, SehException* exception)
{
    return tukSehFrameCall(work, context, exception);
}

} // namespace platform
} // namespace tuk
