// Text utilities: UTF-8 conversion, PEM marker removal, Base64 decoding,
// splitting versions and user IDs.
#pragma once

#include <cstdint>

namespace rimo::xml {

// Stateless; safe from any thread.
class IKeloUtilities {
 public:
  virtual ~IKeloUtilities() = default;
  // 0 after writing text as UTF-8 (terminator included); 1, writing
  // nothing, when it does not fit outSize bytes.
  virtual int ConvertWCharToChar(const wchar_t* text, char* out, int outSize) = 0;
  // 0 after writing the UTF-8 text as wide characters; 1 when it does not fit.
  virtual int ConvertCharToWChar(const char* text, wchar_t* out, int outSize) = 0;
  // 0 after writing the bare Base64 body of a PEM text; 1 when it does not fit.
  virtual int DeleteCertStartAndEndMarker(const wchar_t* pem, wchar_t* out, int outSize) = 0;
  // Decodes Base64 up to the first '=' or character outside the alphabet;
  // returns the bytes decoded (at most outSize). outSize -1 writes nothing and
  // returns the size needed.
  virtual int Base64DecodeByteArray(const char* text, uint32_t textLength, uint8_t* out, int outSize) = 0;
  // "7.23b" gives 7, 2, 3 and 'b'; false when version or second is null.
  virtual bool SplitVersionString(const char* version, const void* second, int* major, int* minor, int* patch,
                                  char* letter) = 0;
  // A 20-character user ID into its first 17 (first: 18 characters) and its
  // last 3 (second: 4 characters); false for any other length.
  virtual bool SplitUserId(const wchar_t* userId, wchar_t* first, wchar_t* second) = 0;
};

class KeloUtilities final : public IKeloUtilities {
 public:
  int ConvertWCharToChar(const wchar_t* text, char* out, int outSize) override;
  int ConvertCharToWChar(const char* text, wchar_t* out, int outSize) override;
  int DeleteCertStartAndEndMarker(const wchar_t* pem, wchar_t* out, int outSize) override;
  int Base64DecodeByteArray(const char* text, uint32_t textLength, uint8_t* out, int outSize) override;
  bool SplitVersionString(const char* version, const void* second, int* major, int* minor, int* patch,
                          char* letter) override;
  bool SplitUserId(const wchar_t* userId, wchar_t* first, wchar_t* second) override;
};

}  // namespace rimo::xml
