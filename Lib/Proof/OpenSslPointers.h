// OpenSSL objects held by std::unique_ptr, each freed by its own free function.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>

namespace quillbox {

// A deleter that calls `Free`.
template <auto Free>
struct OpenSslFree {
  template <class T>
  void operator()(T* p) const {
    Free(p);
  }
};

template <class T, auto Free>
using OpenSslPtr = std::unique_ptr<T, OpenSslFree<Free>>;

using BioPtr = OpenSslPtr<BIO, BIO_free>;
using BnPtr = OpenSslPtr<BIGNUM, BN_free>;
using EcSigPtr = OpenSslPtr<ECDSA_SIG, ECDSA_SIG_free>;
using MdCtxPtr = OpenSslPtr<EVP_MD_CTX, EVP_MD_CTX_free>;
using PkeyPtr = OpenSslPtr<EVP_PKEY, EVP_PKEY_free>;
using StorePtr = OpenSslPtr<X509_STORE, X509_STORE_free>;
using StoreCtxPtr = OpenSslPtr<X509_STORE_CTX, X509_STORE_CTX_free>;
using X509Ptr = OpenSslPtr<X509, X509_free>;

}  // namespace quillbox
