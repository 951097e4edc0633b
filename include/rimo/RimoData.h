// Public interface of librimodata.so.
//
// A host creates a status object, then a component object bound to it, drives
// the component through IRimoData and reads every outcome from the status
// object. Objects are destroyed only through the matching Delete export; the
// status object must outlive the component object that uses it.
//
// Strings are wide (wchar_t, UTF-32 on Linux). Strings handed to the component
// are copied before the call returns. Strings, byte arrays and records returned
// by the status object or the certificate list stay owned by them.
#ifndef RIMO_RIMODATA_H
#define RIMO_RIMODATA_H

#include <stdint.h>
#include <wchar.h>

#if defined(RIMO_BUILDING_LIBRARY)
#define RIMO_EXPORT __attribute__((visibility("default")))
#else
#define RIMO_EXPORT
#endif

// One certificate of the last published response. Owned by the list.
struct CertificateRecord {
  wchar_t* type;             // the certificate's TYPE text
  wchar_t* certificateText;  // the certificate's text as carried in the response
  uint32_t derLength;        // valid bytes in der; 0 when no DER form is stored
  uint8_t der[2048];         // the decoded certificate, zero-filled behind it
};

// The certificates of the last published response. All operations except
// LockObject, UnlockObject and the destructor only try the list's lock and give
// an empty answer (0, true for IsEmpty, null) while another thread holds it.
// A host that walks the list while the component may change it holds
// LockObject for the whole walk.
class ICertificateList {
 public:
  virtual bool ClearList() = 0;
  virtual unsigned Count() = 0;
  virtual bool IsEmpty() = 0;
  virtual CertificateRecord* AddCertificate(const wchar_t* type, const wchar_t* certificateText) = 0;
  virtual CertificateRecord* GetFirstCertificate(void** cursor) = 0;
  virtual CertificateRecord* GetNextCertificate(void** cursor) = 0;
  virtual CertificateRecord* GetPreviousCertificate(void** cursor) = 0;
  virtual bool LockObject() = 0;
  virtual bool TryLockObject() = 0;
  virtual bool UnlockObject() = 0;
  virtual ~ICertificateList() {}
};

// The record through which the component reports to its host. Setters and
// most getters only try the record's lock: while another thread holds it a
// setter does nothing and a getter answers 0, false or null. GetErrorKind,
// GetChanged, GetBusy and GetQueryOutcome always answer. For a consistent
// snapshot, or to use a returned pointer, bracket the calls with Lock/Unlock.
class IScDataStatus {
 public:
  virtual void ResetStatus() = 0;
  virtual ICertificateList* GetCertificateList() = 0;
  virtual void SetErrorKind(int32_t kind) = 0;
  virtual int32_t GetErrorKind() = 0;
  virtual void SetChanged(bool changed) = 0;
  virtual bool GetChanged() = 0;
  virtual void SetBusy(bool busy) = 0;
  virtual bool GetBusy() = 0;
  virtual void Lock() = 0;
  virtual void Unlock() = 0;
  virtual void SetUserMessage(const wchar_t* message) = 0;
  virtual const wchar_t* GetUserMessage() = 0;
  virtual void SetStateCode(int32_t code) = 0;
  virtual int32_t GetStateCode() = 0;
  virtual void SetFaultId(const wchar_t* faultId) = 0;
  virtual const wchar_t* GetFaultId() = 0;
  virtual void SetHttpStatus(int32_t status) = 0;
  virtual int32_t GetHttpStatus() = 0;
  virtual void SetRequestError(int32_t error) = 0;
  virtual int32_t GetRequestError() = 0;
  virtual void SetErrorId(const wchar_t* errorId) = 0;
  virtual const wchar_t* GetErrorId() = 0;
  virtual void SetKeyChange(bool keyChange) = 0;
  virtual bool GetKeyChange() = 0;
  virtual void SetSwitchOnActivation(bool switchOn) = 0;
  virtual bool GetSwitchOnActivation() = 0;
  virtual void SetCurrentSerial(const wchar_t* serial) = 0;
  virtual const wchar_t* GetCurrentSerial() = 0;
  virtual void SetNewSerial(const wchar_t* serial) = 0;
  virtual const wchar_t* GetNewSerial() = 0;
  virtual void SetResponseData(const uint8_t* data, int32_t length) = 0;
  virtual const uint8_t* GetResponseData() = 0;
  virtual void SetResponseLength(int32_t length) = 0;
  virtual int32_t GetResponseLength() = 0;
  virtual void SetQueryOutcome(int32_t outcome) = 0;
  virtual int32_t GetQueryOutcome() = 0;
  virtual ~IScDataStatus() {}
};

// The component object. No call returns a result: outcomes are published in
// the status object, the user's response file and the user's status INI.
class IRimoData {
 public:
  virtual void LoadRimoResponseFromFile(const wchar_t* path) = 0;
  virtual void LoadRimoResponseFromRZ(const wchar_t* userId) = 0;
  virtual void QueryRimoResponse(const wchar_t* userId) = 0;

 protected:
  ~IRimoData() {}
};

extern "C" {
// A new status object, or null if it cannot be allocated.
RIMO_EXPORT IScDataStatus* CreateRimoDataStatusObject();
// true when status was made by CreateRimoDataStatusObject and is now destroyed;
// false, destroying nothing, for null or any other pointer.
RIMO_EXPORT bool DeleteRimoDataStatusObject(IScDataStatus* status);
// A new component object bound to status, or null (also for a null status).
// startWorker 1 starts a worker thread (asynchronous mode); any other value
// makes every call run on the caller's thread (synchronous mode).
RIMO_EXPORT IRimoData* CreateRimoDataObject(IScDataStatus* status, uint8_t startWorker);
// true when component was made by CreateRimoDataObject; it is destroyed after
// its queued work has run. false, destroying nothing, for any other pointer.
RIMO_EXPORT bool DeleteRimoDataObject(IRimoData* component);
}

#endif  // RIMO_RIMODATA_H
