#include "fault/se_exception.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "fault/crash_report.h"
#include "report/message_box.h"

namespace forgeval {
namespace {

struct NamedCode {
  uint32_t code;
  const char* name;
};

constexpr NamedCode kFaultNames[] = {
    {0x80000001, "GUARD_PAGE"},
    {0x80000002, "DATATYPE_MISALIGNMENT"},
    {0x80000003, "BREAKPOINT"},
    {0x80000004, "SINGLE_STEP"},
    {0xC0000005, "ACCESS_VIOLATION"},
    {0xC0000006, "IN_PAGE_ERROR"},
    {0xC0000008, "INVALID_HANDLE"},
    {0xC000001D, "ILLEGAL_INSTRUCTION"},
    {0xC0000025, "NONCONTINUABLE_EXCEPTION"},
    {0xC0000026, "INVALID_DISPOSITION"},
    {0xC000008C, "ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008D, "FLT_DENORMAL_OPERAND"},
    {0xC000008E, "FLT_DIVIDE_BY_ZERO"},
    {0xC000008F, "FLT_INEXACT_RESULT"},
    {0xC0000090, "FLT_INVALID_OPERATION"},
    {0xC0000091, "FLT_OVERFLOW"},
    {0xC0000092, "FLT_STACK_CHECK"},
    {0xC0000093, "FLT_UNDERFLOW"},
    {0xC0000094, "INT_DIVIDE_BY_ZERO"},
    {0xC0000095, "INT_OVERFLOW"},
    {0xC0000096, "PRIV_INSTRUCTION"},
    {0xC00000FD, "STACK_OVERFLOW"},
};

constexpr const char* kUnknownException = "Unknown exception.";

}  // namespace

const CRuntimeClass CObject::classCObject = {"CObject", sizeof(CObject), 0xFFFF, nullptr, nullptr};
const CRuntimeClass CException::classCException = {"CException", sizeof(CException), 0xFFFF,
                                                   nullptr, &CObject::classCObject};
const CRuntimeClass CSeException::classCSeException = {"CSeException", sizeof(CSeException), 0xFFFF,
                                                       nullptr, &CException::classCException};

const CRuntimeClass* CObject::GetRuntimeClass() const { return &classCObject; }

void CObject::Serialize(CArchive&) {}

bool CObject::IsKindOf(const CRuntimeClass* target) const {
  for (const CRuntimeClass* c = GetRuntimeClass(); c != nullptr; c = c->base_class) {
    if (c == target) return true;
  }
  return false;
}

const CRuntimeClass* CException::GetRuntimeClass() const { return &classCException; }

bool CException::GetErrorMessage(char* buffer, unsigned capacity, unsigned* help_context) const {
  if (help_context != nullptr) *help_context = 0;
  if (buffer != nullptr && capacity > 0) buffer[0] = '\0';
  return false;
}

int CException::ReportError(unsigned, unsigned) const {
  char text[512];
  if (!GetErrorMessage(text, sizeof text)) snprintf(text, sizeof text, "%s", kUnknownException);
  MessageBox(text);
  return 1;
}

void CException::Delete() {
  if (auto_delete_) delete this;
}

CSeException::CSeException(uint32_t code, platform::FaultPointers pointers)
    : code_(code), pointers_(pointers) {}

const CRuntimeClass* CSeException::GetRuntimeClass() const { return &classCSeException; }

bool CSeException::GetErrorMessage(std::string& text) const {
  const char* name = FaultName(code_);
  if (name == nullptr) {
    text = kUnknownException;
    return false;
  }
  const uint64_t address = pointers_.record != nullptr ? pointers_.record->address : 0;
  char message[128];
  snprintf(message, sizeof message, "Exception %s (0x%.8x) at address 0x%.8x.", name, code_,
           static_cast<uint32_t>(address));
  text = message;
  return true;
}

bool CSeException::GetErrorMessage(char* buffer, unsigned capacity, unsigned* help_context) const {
  if (help_context != nullptr) *help_context = 0;
  std::string text;
  GetErrorMessage(text);
  if (text.size() < capacity) {
    memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
  }
  if (capacity > 0) buffer[0] = '\0';
  return false;
}

int CSeException::ReportError(unsigned, unsigned) const {
  std::string text;
  GetErrorMessage(text);
  MessageBox(text);
  return 1;
}

void CSeException::Delete() {
  // The first fault of the process leaves ERRORLOG.TXT and CRASH.DMP; the saved fault state
  // is still intact here, as nothing else ran on this thread's fault storage since the fault.
  WriteCrashReport(pointers_);
  CException::Delete();
}

const char* FaultName(uint32_t code) {
  for (const NamedCode& entry : kFaultNames) {
    if (entry.code == code) return entry.name;
  }
  return nullptr;
}

void SeTranslator(uint32_t code, platform::FaultPointers pointers) {
  // Allocation may fail when the fault was an exhausted heap; the worker then reports
  // "Out of memory." instead, which is still an error of the run.
  throw new CSeException(code, pointers);
}

}  // namespace forgeval
