/* What the linker keeps of libcrypto for a few uses of it: one program per CRYPTO_PROBE
   value, its stripped size read by bench/run.py.
     1  SHA-256 through the low-level calls alone (SHA256_Init/Update/Final)
     2  one bignum call (BN_lebin2bn)
     3  the record check through low-level calls only: SHA-256, an RSA key from its modulus
        and exponent (RSA_set0_key), RSA_verify; no EVP_PKEY, no key-blob reader */
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/bn.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

int main(int argc, char** argv) {
  unsigned char digest[SHA256_DIGEST_LENGTH] = {0};
  const unsigned char* input = (const unsigned char*)argv[0];
  (void)argc;
#if CRYPTO_PROBE == 1 || CRYPTO_PROBE == 3
  SHA256_CTX context;
  SHA256_Init(&context);
  SHA256_Update(&context, input, 3);
  SHA256_Final(digest, &context);
#endif
#if CRYPTO_PROBE == 2
  BIGNUM* n = BN_lebin2bn(input, 256, NULL);
  int bits = BN_num_bits(n);
  BN_free(n);
  return bits;
#elif CRYPTO_PROBE == 3
  RSA* rsa = RSA_new();
  BIGNUM* modulus = BN_lebin2bn(input, 256, NULL);
  BIGNUM* exponent = BN_new();
  BN_set_word(exponent, 65537);
  RSA_set0_key(rsa, modulus, exponent, NULL);
  int ok = RSA_verify(NID_sha256, digest, sizeof digest, (const unsigned char*)argv[1], 256, rsa);
  RSA_free(rsa);
  return ok;
#else
  return digest[0];
#endif
}
