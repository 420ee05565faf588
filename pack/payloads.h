// The containers a stub already carries, found and removed.
//
// FindCarriedPayloads lists, in words, every container a PE image carries in any of the
// three ways (behind the signature in the certificate table, as a payload certificate
// extension -- critical or not -- or appended to an unsigned image); empty for a bare stub.
// RemoveCarriedPayloads takes all of them out: the container behind the signature, every
// certificate of the signature that holds a payload extension (the Authenticode signature
// does not cover the certificate set, so it stays valid), and an appended container. It
// fails, leaving the image unchanged, when the image cannot be read as a stub.
// CertificatePadding says whether Windows would accept the certificate table when set to
// check its padding (the certificate padding check): only zero padding, fewer than 8 bytes,
// may follow the PKCS#7 signature. A container behind the signature (cert-table mode)
// fails it; containers in certificate extensions (extension mode) pass. `why` explains a
// failure; PADDING_UNSIGNED for a file without a certificate table.
#pragma once
#include <string>
#include <vector>

#include "pack/fileio.h"

// `single`, when given, is set when one of them is the one container a stub carries behind its
// signature or at its end (the one cert-table and append mode replace).
bool FindCarriedPayloads(const Bytes& image, std::vector<std::string>* found, std::string* error,
                         bool* single = nullptr);
bool RemoveCarriedPayloads(Bytes* image, std::string* error);

enum PaddingVerdict { PADDING_UNSIGNED, PADDING_PASSES, PADDING_FAILS };
PaddingVerdict CertificatePadding(const Bytes& image, std::string* why);
