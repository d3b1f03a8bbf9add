// The traditional zip cipher (three keys stirred by CRC-32 steps, a 12-byte header whose last byte
// checks the password) and WinZip AES (PBKDF2-HMAC-SHA1 with 1000 rounds gives the AES key, the
// HMAC key and a 2-byte verifier; AES-CTR with a little-endian counter from 1; the first 10 bytes
// of HMAC-SHA1 over the encrypted data follow it).
#include "archive/zip_crypt.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <array>
#include <cstring>
#include <vector>

using namespace zipfmt;

namespace {

constexpr int kAesRounds = 1000;
constexpr std::size_t kAesCodeSize = 10;

// ---- traditional cipher

struct CrcTable {
  std::array<u32, 256> t{};
  constexpr CrcTable() {
    for (u32 i = 0; i < 256; ++i) {
      u32 c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
      t[i] = c;
    }
  }
};
constexpr CrcTable kCrc;

class TraditionalDecryptor : public ZipDecryptor {
 public:
  explicit TraditionalDecryptor(const ZipEntryRec& entry)
      // With a data descriptor the writer did not know the CRC yet: the time's high byte checks.
      : m_checkByte(static_cast<u8>((entry.flags & kFlagDescriptor) ? entry.dosTime >> 8 : entry.crc >> 24)) {}

  std::size_t HeaderSize() const override { return 12; }
  std::size_t TrailerSize() const override { return 0; }
  Check Start(const u8* header, const std::string& password) override {
    m_keys = {0x12345678u, 0x23456789u, 0x34567890u};
    for (const char c : password) Update(static_cast<u8>(c));
    u8 plain[12];
    std::memcpy(plain, header, sizeof plain);
    Decrypt(plain, sizeof plain);
    return plain[11] == m_checkByte ? kOk : kWrongPassword;
  }
  void Decrypt(u8* data, std::size_t length) override {
    for (std::size_t i = 0; i < length; ++i) {
      const u32 t = (m_keys[2] | 2u) & 0xFFFFu;
      data[i] ^= static_cast<u8>((t * (t ^ 1u)) >> 8);
      Update(data[i]);
    }
  }
  bool Finish(const u8*) override { return true; }
  bool CheckCrc() const override { return true; }

 private:
  static u32 CrcStep(u32 crc, u8 b) { return kCrc.t[(crc ^ b) & 0xFF] ^ (crc >> 8); }
  void Update(u8 b) {
    m_keys[0] = CrcStep(m_keys[0], b);
    m_keys[1] = (m_keys[1] + (m_keys[0] & 0xFF)) * 134775813u + 1;
    m_keys[2] = CrcStep(m_keys[2], static_cast<u8>(m_keys[1] >> 24));
  }

  std::array<u32, 3> m_keys{};
  u8 m_checkByte;
};

// ---- AES

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
struct MacCtxFree {
  void operator()(EVP_MAC_CTX* c) const { EVP_MAC_CTX_free(c); }
};
struct MacFree {
  void operator()(EVP_MAC* m) const { EVP_MAC_free(m); }
};

class AesDecryptor : public ZipDecryptor {
 public:
  explicit AesDecryptor(const ZipAesInfo& info) : m_info(info) {}
  ~AesDecryptor() override {
    OPENSSL_cleanse(m_stream.data(), m_stream.size());
    OPENSSL_cleanse(m_blocks.data(), m_blocks.size());
  }

  std::size_t HeaderSize() const override { return m_info.SaltSize() + 2; }
  std::size_t TrailerSize() const override { return kAesCodeSize; }
  Check Start(const u8* header, const std::string& password) override {
    const std::size_t keySize = m_info.KeySize();
    std::vector<u8> derived(2 * keySize + 2);
    if (PKCS5_PBKDF2_HMAC_SHA1(password.data(), static_cast<int>(password.size()), header,
                               static_cast<int>(m_info.SaltSize()), kAesRounds, static_cast<int>(derived.size()),
                               derived.data()) != 1)
      return kDamaged;
    struct Wipe {
      std::vector<u8>& v;
      ~Wipe() { OPENSSL_cleanse(v.data(), v.size()); }
    } wipe{derived};
    if (CRYPTO_memcmp(derived.data() + 2 * keySize, header + m_info.SaltSize(), 2) != 0) return kWrongPassword;

    const EVP_CIPHER* cipher = keySize == 16 ? EVP_aes_128_ecb() : keySize == 24 ? EVP_aes_192_ecb() : EVP_aes_256_ecb();
    m_cipher.reset(EVP_CIPHER_CTX_new());
    if (!m_cipher || EVP_EncryptInit_ex(m_cipher.get(), cipher, nullptr, derived.data(), nullptr) != 1)
      return kDamaged;
    EVP_CIPHER_CTX_set_padding(m_cipher.get(), 0);
    m_mac.reset(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
    if (!m_mac) return kDamaged;
    m_macCtx.reset(EVP_MAC_CTX_new(m_mac.get()));
    char digest[] = "SHA1";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                 OSSL_PARAM_construct_end()};
    if (!m_macCtx || EVP_MAC_init(m_macCtx.get(), derived.data() + keySize, keySize, params) != 1) return kDamaged;
    m_counter.fill(0);
    m_streamPos = m_stream.size();
    return kOk;
  }

  void Decrypt(u8* data, std::size_t length) override {
    EVP_MAC_update(m_macCtx.get(), data, length);
    std::size_t i = 0;
    while (i < length) {
      if (m_streamPos == m_stream.size()) NextKeyStream(length - i);
      const std::size_t n = std::min(length - i, m_stream.size() - m_streamPos);
      for (std::size_t k = 0; k < n; ++k) data[i + k] ^= m_stream[m_streamPos + k];
      m_streamPos += n;
      i += n;
    }
  }

  bool Finish(const u8* trailer) override {
    u8 mac[EVP_MAX_MD_SIZE];
    std::size_t macLength = 0;
    if (EVP_MAC_final(m_macCtx.get(), mac, &macLength, sizeof mac) != 1 || macLength < kAesCodeSize) return false;
    return CRYPTO_memcmp(mac, trailer, kAesCodeSize) == 0;
  }
  bool CheckCrc() const override { return m_info.version != 2; }

 private:
  // Key stream for the next blocks (enough for want bytes, at most the buffer).
  void NextKeyStream(std::size_t want) {
    const std::size_t blocks = std::min(kBlocks, (want + 15) / 16);
    for (std::size_t b = 0; b < blocks; ++b) {
      for (u8& byte : m_counter)
        if (++byte != 0) break;
      std::memcpy(m_blocks.data() + 16 * b, m_counter.data(), 16);
    }
    int out = 0;
    EVP_EncryptUpdate(m_cipher.get(), m_stream.data() + m_stream.size() - 16 * blocks, &out, m_blocks.data(),
                      static_cast<int>(16 * blocks));
    m_streamPos = m_stream.size() - 16 * blocks;
  }

  static constexpr std::size_t kBlocks = 4096;
  ZipAesInfo m_info;
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> m_cipher;
  std::unique_ptr<EVP_MAC, MacFree> m_mac;
  std::unique_ptr<EVP_MAC_CTX, MacCtxFree> m_macCtx;
  std::array<u8, 16> m_counter{};
  std::vector<u8> m_blocks = std::vector<u8>(16 * kBlocks);
  std::vector<u8> m_stream = std::vector<u8>(16 * kBlocks);
  std::size_t m_streamPos = 16 * kBlocks;
};

}  // namespace

bool ZipAesField(std::string_view extra, ZipAesInfo* info) {
  bool found = false;
  ForEachExtra(extra, [&](u16 id, const u8* data, std::size_t size) {
    if (id != kExtraAes || size < 7 || found) return;
    const int version = Get16(data);
    const int strength = data[4];
    if ((version != 1 && version != 2) || data[2] != 'A' || data[3] != 'E' || strength < 1 || strength > 3) return;
    info->version = version;
    info->strength = strength;
    info->method = Get16(data + 5);
    found = true;
  });
  return found;
}

bool ZipCanDecrypt(const ZipEntryRec& entry) {
  if (!(entry.flags & kFlagEncrypted) || (entry.flags & kFlagStrongEncryption)) return false;
  ZipAesInfo info;
  return entry.method != kMethodAes || ZipAesField(entry.extra, &info);
}

u16 ZipPackMethod(const ZipEntryRec& entry) {
  ZipAesInfo info;
  if (entry.method == kMethodAes && (entry.flags & kFlagEncrypted) && ZipAesField(entry.extra, &info))
    return info.method;
  return entry.method;
}

std::unique_ptr<ZipDecryptor> ZipDecryptor::For(const ZipEntryRec& entry) {
  if (!ZipCanDecrypt(entry)) return nullptr;
  ZipAesInfo info;
  if (entry.method == kMethodAes && ZipAesField(entry.extra, &info)) return std::make_unique<AesDecryptor>(info);
  return std::make_unique<TraditionalDecryptor>(entry);
}
