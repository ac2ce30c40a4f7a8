// A message authentication code over bytes given piece by piece, on OpenSSL's EVP_MAC:
// Poly1305 for the tag of an encrypted file (a one-time key per file), HMAC-SHA256 for a
// host's own data.
#pragma once

#include <cstddef>
#include <cstdint>

struct evp_mac_ctx_st;

namespace orv::mac {

class Mac {
 public:
  enum class Kind { Poly1305, HmacSha256 };

  explicit Mac(Kind kind);
  ~Mac();
  Mac(const Mac&) = delete;
  Mac& operator=(const Mac&) = delete;

  // Starts a new message under a 32-byte key; false when the crypto library fails.
  bool Start(const uint8_t key[32]);
  // Adds bytes to the message; ignored unless a message is under way.
  void Update(const uint8_t* data, size_t length);
  // Ends the message and writes its code (TagLength() bytes); false when none was under way.
  bool Finish(uint8_t* out);
  bool Running() const { return m_running; }
  size_t TagLength() const { return m_kind == Kind::Poly1305 ? 16 : 32; }

 private:
  Kind m_kind;
  evp_mac_ctx_st* m_ctx = nullptr;
  bool m_running = false;
};

}  // namespace orv::mac
