#include "Mac.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>

namespace orv::mac {
namespace {

// Fetched once per process; EVP_MAC objects may be shared between threads.
EVP_MAC* Algorithm(Mac::Kind kind) {
  static EVP_MAC* const poly1305 = EVP_MAC_fetch(nullptr, "POLY1305", nullptr);
  static EVP_MAC* const hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  return kind == Mac::Kind::Poly1305 ? poly1305 : hmac;
}

}  // namespace

Mac::Mac(Kind kind) : m_kind(kind) {
  if (EVP_MAC* algorithm = Algorithm(kind))
    m_ctx = EVP_MAC_CTX_new(algorithm);
}

Mac::~Mac() {
  EVP_MAC_CTX_free(m_ctx);  // wipes the key
}

bool Mac::Start(const uint8_t key[32]) {
  char digest[] = "SHA256";
  const OSSL_PARAM hmacParams[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_END};
  m_running = m_ctx != nullptr &&
              EVP_MAC_init(m_ctx, key, 32, m_kind == Kind::HmacSha256 ? hmacParams : nullptr) == 1;
  return m_running;
}

void Mac::Update(const uint8_t* data, size_t length) {
  if (m_running && length != 0)
    m_running = EVP_MAC_update(m_ctx, data, length) == 1;
}

bool Mac::Finish(uint8_t* out) {
  if (!m_running)
    return false;
  m_running = false;
  size_t written = 0;
  return EVP_MAC_final(m_ctx, out, &written, TagLength()) == 1 && written == TagLength();
}

}  // namespace orv::mac
