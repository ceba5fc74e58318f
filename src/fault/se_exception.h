// Processor faults as exceptions. SeTranslator turns a fault caught by the platform's fault
// guard into a thrown CSeException pointer, which ordinary catch clauses take; the object
// carries the fault code and the saved fault record and processor context, and describes
// itself in one line: "Exception ACCESS_VIOLATION (0xc0000005) at address 0x0040123a." or
// "Unknown exception.". The holder releases a caught object with Delete.
//
// The small CObject/CException hierarchy gives every exception object of the program the same
// shape: a run-time class record, an auto-delete flag, and the virtual operations
// GetRuntimeClass, the destructor, Serialize, GetErrorMessage and ReportError in that order.
#ifndef FORGEVAL_FAULT_SE_EXCEPTION_H_
#define FORGEVAL_FAULT_SE_EXCEPTION_H_

#include <cstdint>
#include <string>

#include "platform/fault_signals.h"

namespace forgeval {

class CObject;
class CArchive;

// Run-time description of a class.
struct CRuntimeClass {
  const char* class_name;
  int object_size;
  unsigned schema;              // 0xFFFF: not serialisable
  CObject* (*create_object)();  // null: cannot be created by name
  const CRuntimeClass* base_class;
};

class CObject {
 public:
  virtual const CRuntimeClass* GetRuntimeClass() const;
  virtual ~CObject() = default;
  virtual void Serialize(CArchive& archive);

  bool IsKindOf(const CRuntimeClass* target) const;

  static const CRuntimeClass classCObject;

 protected:
  CObject() = default;
};

class CException : public CObject {
 public:
  const CRuntimeClass* GetRuntimeClass() const override;
  // Copies the description into `buffer` (at most `capacity` bytes with the terminator);
  // sets *help_context to 0 when given. The base class has no description.
  virtual bool GetErrorMessage(char* buffer, unsigned capacity,
                               unsigned* help_context = nullptr) const;
  // Shows the description to the operator (type and help id are kept for the callers that
  // name them); returns 1 once acknowledged.
  virtual int ReportError(unsigned type = 0x1010, unsigned help_id = 0) const;

  // Releases the object when it owns itself (the auto-delete flag).
  void Delete();

  static const CRuntimeClass classCException;

  bool auto_delete_ = true;

 protected:
  CException() = default;
};

class CSeException : public CException {
 public:
  CSeException(uint32_t code, platform::FaultPointers pointers);

  const CRuntimeClass* GetRuntimeClass() const override;
  bool GetErrorMessage(char* buffer, unsigned capacity,
                       unsigned* help_context = nullptr) const override;
  int ReportError(unsigned type = 0x1010, unsigned help_id = 0) const override;

  // Replaces `text` with the fault's description; false (and "Unknown exception.") for a
  // code without a name.
  bool GetErrorMessage(std::string& text) const;

  // Writes the crash report (the first time in the process, see crash_report.h), then
  // releases the object. The saved fault record and context stay readable until then.
  void Delete();

  uint32_t code() const { return code_; }
  const platform::FaultPointers& pointers() const { return pointers_; }

  static const CRuntimeClass classCSeException;

 private:
  uint32_t code_;
  platform::FaultPointers pointers_;  // not owned: the thread's fault storage
};

// The name a fault code is reported by ("ACCESS_VIOLATION"), or null for an unnamed code.
const char* FaultName(uint32_t code);

// Allocates a CSeException for the fault and throws it as a pointer. Never returns.
[[noreturn]] void SeTranslator(uint32_t code, platform::FaultPointers pointers);

// Installs fault translation for the calling thread for the object's lifetime.
class SeTranslatorScope {
 public:
  SeTranslatorScope() = default;
  SeTranslatorScope(const SeTranslatorScope&) = delete;
  SeTranslatorScope& operator=(const SeTranslatorScope&) = delete;

 private:
  platform::ThreadFaultGuard guard_;
};

// Runs `body()`; a processor fault inside it is thrown as a CSeException pointer from here.
// The body is reached through a call the compiler cannot see through, so the catch clauses
// around this call are never optimised away.
template <typename Body>
void RunTranslated(Body& body) {
  platform::FaultPointers pointers;
  auto invoke = [](void* raw) { (*static_cast<Body*>(raw))(); };
  if (!platform::RunGuarded(invoke, &body, &pointers))
    SeTranslator(pointers.record->code, pointers);
}

}  // namespace forgeval

#endif  // FORGEVAL_FAULT_SE_EXCEPTION_H_
