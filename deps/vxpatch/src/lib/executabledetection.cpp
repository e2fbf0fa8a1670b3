#include "executabledetection.h"

#include <memory>
#include <new>

#include "disassembledprogram.h"
#include "disassembler.h"
#include "patchstatus.h"
#include "disassemblerelf32arm.h"
#include "disassemblerelf32x86.h"
#include "disassemblerelf64x64.h"
#include "disassemblermacho.h"
#include "disassemblerwin32x64.h"
#include "disassemblerwin32x86.h"

namespace vxpatch {

namespace {

template <class T>
Disassembler* MakeDisassembler(const uint8_t* start, uint32_t length)
{
    return new (std::nothrow) T(start, length);
}

using Maker = Disassembler* (*)(const uint8_t*, uint32_t);

// Detection order: a buffer two disassemblers would accept goes to the earlier.
constexpr Maker kCandidates[] = {
    MakeDisassembler<DisassemblerWin32X86>, MakeDisassembler<DisassemblerWin32X64>,
    MakeDisassembler<DisassemblerElf32X86>, MakeDisassembler<DisassemblerElf64X64>,
    MakeDisassembler<DisassemblerElf32ARM>, MakeDisassembler<DisassemblerMacho>,
};

} // namespace

Disassembler* FindDisassembler(const uint8_t* start, uint32_t length)
{
    for (Maker make : kCandidates) {
        std::unique_ptr<Disassembler> candidate(make(start, length));
        if (candidate && candidate->ParseHeader())
            return candidate.release();
    }
    return nullptr;
}

int DetectExecutable(const uint8_t* start, uint32_t length, ExecutableType* type, uint32_t* detectedLength)
{
    std::unique_ptr<Disassembler> disassembler(FindDisassembler(start, length));
    if (!disassembler) {
        *type = EXE_UNKNOWN;
        *detectedLength = 0;
        return PATCH_EXECUTABLE_NOT_RECOGNISED;
    }
    *type = disassembler->executableType();
    *detectedLength = disassembler->length();
    return PATCH_OK;
}

int DisassembleExecutable(const uint8_t* start, uint32_t length, DisassembledProgram** out,
                          bool encodeDirectly)
{
    *out = nullptr;
    std::unique_ptr<Disassembler> disassembler(FindDisassembler(start, length));
    if (!disassembler)
        return PATCH_EXECUTABLE_NOT_RECOGNISED;
    std::unique_ptr<DisassembledProgram> program(new (std::nothrow)
                                                     DisassembledProgram(disassembler->executableType()));
    // A program that is only to be encoded need not keep its instructions.
    if (program && encodeDirectly && !program->EncodeDirectly(disassembler->length()))
        return PATCH_DISASSEMBLY_FAILED;
    if (!program || !disassembler->Disassemble(program.get()))
        return PATCH_DISASSEMBLY_FAILED;
    *out = program.release();
    return PATCH_OK;
}

void DeleteDisassembledProgram(DisassembledProgram* program)
{
    delete program;
}

} // namespace vxpatch
