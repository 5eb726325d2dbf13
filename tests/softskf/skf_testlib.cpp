#include "skf_testlib.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTextStream>
#include <cstring>
#include <dlfcn.h>
#include <memory>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

bool SkfTestLib::load(const QString& path)
{
    QString file =
        path.isEmpty() ? QProcessEnvironment::systemEnvironment().value(QStringLiteral("SOFTSKF_LIB")) : path;
    handle = dlopen(file.toLocal8Bit().constData(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return false;
    missing.clear();
#define SKF_TESTLIB_BIND(name)                                                                                         \
    name = reinterpret_cast<PFN_##name>(dlsym(handle, #name));                                                         \
    if (!name)                                                                                                         \
        missing << QStringLiteral(#name);
    SKF_CALL_TABLE(SKF_TESTLIB_BIND)
    SKF_TESTLIB_BIND(SKF_LockDev)
    SKF_TESTLIB_BIND(SKF_UnlockDev)
#undef SKF_TESTLIB_BIND
    SKF_GenRSAKeyPair = reinterpret_cast<decltype(SKF_GenRSAKeyPair)>(dlsym(handle, "SKF_GenRSAKeyPair"));
    if (!SKF_GenRSAKeyPair)
        missing << QStringLiteral("SKF_GenRSAKeyPair");
    return true;
}

QByteArray SkfTestLib::fetchList(const std::function<ULONG(LPSTR, ULONG*)>& call, ULONG* rc) const
{
    ULONG size = 0;
    ULONG r = call(nullptr, &size);
    if (r == SAR_OK && size > 0) {
        QByteArray buf(static_cast<int>(size), '\xEE');
        r = call(buf.data(), &size);
        if (r == SAR_OK) {
            if (rc)
                *rc = r;
            return buf.left(static_cast<int>(size));
        }
    }
    if (rc)
        *rc = r;
    return QByteArray();
}

DEVHANDLE SkfTestLib::connect(const QByteArray& name) const
{
    DEVHANDLE dev = nullptr;
    QByteArray copy = name;
    return SKF_ConnectDev(copy.data(), &dev) == SAR_OK ? dev : nullptr;
}

HAPPLICATION SkfTestLib::openApp(DEVHANDLE dev, const QByteArray& name) const
{
    HAPPLICATION app = nullptr;
    QByteArray copy = name;
    return SKF_OpenApplication(dev, copy.data(), &app) == SAR_OK ? app : nullptr;
}

HCONTAINER SkfTestLib::openContainer(HAPPLICATION app, const QByteArray& name) const
{
    HCONTAINER c = nullptr;
    QByteArray copy = name;
    return SKF_OpenContainer(app, copy.data(), &c) == SAR_OK ? c : nullptr;
}

ULONG SkfTestLib::devAuth(DEVHANDLE dev, const QByteArray& key, ULONG randomLen, bool pkcs5) const
{
    QByteArray challenge(16, '\0');
    QByteArray random(static_cast<int>(randomLen), '\0');
    ULONG rc = SKF_GenRandom(dev, reinterpret_cast<BYTE*>(random.data()), randomLen);
    if (rc != SAR_OK)
        return rc;
    std::memcpy(challenge.data(), random.constData(), std::min<size_t>(randomLen, 16));
    QByteArray keyBytes = key.leftJustified(16, '\0', true);
    HANDLE hKey = nullptr;
    rc = SKF_SetSymmKey(dev, reinterpret_cast<BYTE*>(keyBytes.data()), SGD_SM4_ECB, &hKey);
    if (rc != SAR_OK)
        return rc;
    BLOCKCIPHERPARAM param;
    std::memset(&param, 0, sizeof param);
    param.PaddingType = pkcs5 ? 1 : 0;
    rc = SKF_EncryptInit(hKey, param);
    BYTE out[64];
    ULONG outLen = sizeof out;
    if (rc == SAR_OK)
        rc = SKF_Encrypt(hKey, reinterpret_cast<BYTE*>(challenge.data()), 16, out, &outLen);
    SKF_CloseHandle(hKey);
    if (rc != SAR_OK)
        return rc;
    return SKF_DevAuth(dev, out, outLen);
}

QByteArray SkfTestLib::exportCert(HCONTAINER container, bool sign, ULONG* rc) const
{
    return fetchList(
        [&](LPSTR buf, ULONG* len) {
            return SKF_ExportCertificate(container, sign ? TRUE : FALSE, reinterpret_cast<BYTE*>(buf), len);
        },
        rc);
}

QByteArray SkfTestLib::exportPublicKey(HCONTAINER container, bool sign, ULONG* rc) const
{
    return fetchList(
        [&](LPSTR buf, ULONG* len) {
            return SKF_ExportPublicKey(container, sign ? TRUE : FALSE, reinterpret_cast<BYTE*>(buf), len);
        },
        rc);
}

bool SkfTestLib::loginUser(HAPPLICATION app) const
{
    ULONG retry = 0;
    char pin[] = "12345678";
    return SKF_VerifyPIN(app, USER_TYPE, pin, &retry) == SAR_OK;
}

const QByteArray kSm2Id = "1234567812345678";

QByteArray sm2Digest(const QByteArray& x, const QByteArray& y, const QByteArray& message, const QByteArray& id)
{
    // The curve's a, b and base point, as the Z value takes them.
    static const QByteArray curve =
        QByteArray::fromHex("FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFC"
                            "28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93"
                            "32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7"
                            "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0");
    auto sm3 = [](const QByteArray& data) {
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        EVP_Digest(data.constData(), size_t(data.size()), out, &len, EVP_sm3(), nullptr);
        return QByteArray(reinterpret_cast<const char*>(out), int(len));
    };
    int bits = id.size() * 8;
    QByteArray z = sm3(QByteArray(1, char(bits >> 8)) + char(bits & 0xFF) + id + curve + x + y);
    return sm3(z + message);
}

bool opensslVerifies(const QByteArray& certDer, const QByteArray& message, const QByteArray& signature,
                     const QByteArray& id)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(certDer.constData());
    std::unique_ptr<X509, decltype(&X509_free)> cert(d2i_X509(nullptr, &p, certDer.size()), X509_free);
    EVP_PKEY* key = cert ? X509_get0_pubkey(cert.get()) : nullptr;
    if (!key)
        return false;
    bool rsa = EVP_PKEY_is_a(key, "RSA");
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_PKEY_CTX* pctx = nullptr;
    bool ok = md && EVP_DigestVerifyInit_ex(md.get(), &pctx, rsa ? "SHA256" : "SM3", nullptr, nullptr, key, nullptr);
    if (ok && !rsa)
        ok = EVP_PKEY_CTX_set1_id(pctx, id.constData(), size_t(id.size())) == 1;
    return ok && EVP_DigestVerify(md.get(), reinterpret_cast<const unsigned char*>(signature.constData()),
                                  size_t(signature.size()), reinterpret_cast<const unsigned char*>(message.constData()),
                                  size_t(message.size())) == 1;
}

QByteArray eccSignatureDer(const ECCSIGNATUREBLOB& blob)
{
    ECDSA_SIG* sig = ECDSA_SIG_new();
    BIGNUM* r = BN_bin2bn(blob.r, sizeof blob.r, nullptr);
    BIGNUM* s = BN_bin2bn(blob.s, sizeof blob.s, nullptr);
    bool set = sig && r && s && ECDSA_SIG_set0(sig, r, s) == 1;
    if (!set) {
        BN_free(r);
        BN_free(s);
    }
    unsigned char* der = nullptr;
    int len = set ? i2d_ECDSA_SIG(sig, &der) : 0;
    ECDSA_SIG_free(sig);
    QByteArray out = len > 0 ? QByteArray(reinterpret_cast<const char*>(der), len) : QByteArray();
    OPENSSL_free(der);
    return out;
}

QStringList splitNameList(const QByteArray& list)
{
    QStringList names;
    int start = 0;
    while (start < list.size() && list.at(start) != '\0') {
        int end = list.indexOf('\0', start);
        if (end < 0)
            end = list.size();
        names << QString::fromUtf8(list.mid(start, end - start));
        start = end + 1;
    }
    return names;
}

bool certificateKey(const QByteArray& der, QByteArray* first, QByteArray* second, bool* rsa)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.constData());
    std::unique_ptr<X509, decltype(&X509_free)> cert(d2i_X509(nullptr, &p, der.size()), X509_free);
    if (!cert)
        return false;
    EVP_PKEY* key = X509_get0_pubkey(cert.get());
    if (!key)
        return false;
    *rsa = EVP_PKEY_is_a(key, "RSA");
    if (*rsa) {
        BIGNUM* n = nullptr;
        BIGNUM* e = nullptr;
        if (!EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n) ||
            !EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e)) {
            BN_free(n);
            return false;
        }
        first->resize(BN_num_bytes(n));
        BN_bn2bin(n, reinterpret_cast<unsigned char*>(first->data()));
        second->resize(4);
        BN_bn2binpad(e, reinterpret_cast<unsigned char*>(second->data()), 4);
        BN_free(n);
        BN_free(e);
        return true;
    }
    unsigned char point[65];
    size_t len = 0;
    if (!EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &len) || len != 65)
        return false;
    *first = QByteArray(reinterpret_cast<const char*>(point + 1), 32);
    *second = QByteArray(reinterpret_cast<const char*>(point + 33), 32);
    return true;
}

QByteArray sm4EcbEncrypt(const QByteArray& key, const QByteArray& data)
{
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "SM4-ECB", nullptr);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    QByteArray out(data.size() + 16, '\0');
    int len = 0;
    bool ok =
        cipher && ctx &&
        EVP_EncryptInit_ex2(ctx, cipher, reinterpret_cast<const unsigned char*>(key.constData()), nullptr, nullptr) &&
        EVP_CIPHER_CTX_set_padding(ctx, 0) &&
        EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &len,
                          reinterpret_cast<const unsigned char*>(data.constData()), data.size());
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
    return ok ? out.left(len) : QByteArray();
}

namespace {

static int childMain(const QStringList& args)
{
    SkfTestLib skf;
    if (!skf.load())
        return 3;
    QTextStream out(stdout);
    if (args.value(0) == "info") {
        DEVHANDLE dev = skf.connect(args.value(1).toUtf8());
        HAPPLICATION app = skf.openApp(dev);
        DEVINFO info;
        ULONG max = 0, remain = 0;
        SkfBoolScratch flag{};
        if (!app || skf.SKF_GetDevInfo(dev, &info) != SAR_OK ||
            skf.SKF_GetPINInfo(app, USER_TYPE, &max, &remain, &flag.value) != SAR_OK)
            return 4;
        out << "label=" << QByteArray(info.Label, int(strnlen(info.Label, 32))) << " user=" << remain << "/" << max
            << "\n";
        return 0;
    }
    if (args.value(0) == "enumdev") {
        ULONG size = 0;
        for (int i = 0; i < args.value(1).toInt(); ++i)
            out << Qt::hex << skf.SKF_EnumDev(TRUE, nullptr, &size) << ' ';
        out << "ok\n";
        return 0;
    }
    if (args.value(0) == "wait") {
        out << "ready\n";
        out.flush();
        for (int i = 0; i < args.value(1).toInt(); ++i) {
            char name[256];
            ULONG len = sizeof name, event = 0;
            ULONG rc = skf.SKF_WaitForDevEvent(name, &len, &event);
            if (rc != SAR_OK)
                return 6;
            out << event << " " << name << "\n";
            out.flush();
        }
        return 0;
    }
    return 5;
}

} // namespace

int runSkfChild(int argc, char** argv)
{
    if (argc < 2 || std::strcmp(argv[1], "--child") != 0)
        return -1;
    QStringList args;
    for (int i = 2; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    return childMain(args);
}

QString runSkfChildProcess(const QStringList& args)
{
    QProcess p;
    p.start(QCoreApplication::applicationFilePath(), QStringList{"--child"} + args);
    if (!p.waitForFinished(20000))
        return QStringLiteral("timeout");
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}
