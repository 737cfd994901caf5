#include "tests/support/NssTestEnvironment.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace NssTest {

namespace {

TPki& MutablePki()
{
    static TPki pki;
    return pki;
}

constexpr const char* SoftHsmModule = "/usr/lib/softhsm/libsofthsm2.so";

void MakeCertificate(
    const TPki& pki, const std::string& name, const std::string& cn, const std::string& issuer, bool ca)
{
    const std::string ext = pki.Files + "/" + name + ".ext";
    {
        std::ofstream out(ext);
        if (ca)
            out << "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n"
                   "subjectKeyIdentifier=hash\n";
        else
            // End entities look like ICP-Brasil personal certificates: an A1 policy, the holder's
            // data (birth date, CPF, NIS, RG) as otherName, e-mail, client and e-mail purposes.
            out << "basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment,"
                   "nonRepudiation\nsubjectKeyIdentifier=hash\n"
                   "certificatePolicies=2.16.76.1.2.1.51\n"
                   "extendedKeyUsage=clientAuth,emailProtection\n"
                   "subjectAltName=email:"
                << name
                << "@example.com.br,otherName:2.16.76.1.3.1;UTF8:150319801234567890100000000000000123456SSPSP,"
                   "otherName:2.16.76.1.3.6;UTF8:000000000000,otherName:2.16.76.1.3.5;UTF8:0000000000000000000\n";
        if (!issuer.empty())
            out << "authorityKeyIdentifier=keyid\n";
    }
    Run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + pki.Key(name));
    const std::string subject = "'/C=LV/O=Dorvik Test/CN=" + cn + "'";
    if (issuer.empty()) {
        Run("openssl req -new -x509 -days 30 -key " + pki.Key(name) + " -subj " + subject
            + " -extensions v3 "
              "-config <(printf '[req]\\ndistinguished_name=dn\\n[dn]\\n[v3]\\n'; cat "
            + ext + ") -out " + pki.Pem(name));
        return;
    }
    const std::string csr = pki.Files + "/" + name + ".csr";
    Run("openssl req -new -key " + pki.Key(name) + " -subj " + subject + " -out " + csr);
    Run("openssl x509 -req -days 30 -in " + csr + " -CA " + pki.Pem(issuer) + " -CAkey " + pki.Key(issuer)
        + " -set_serial 0x" + std::to_string(std::hash<std::string>()(name) % 1000000 + 1000) + " -extfile "
        + ext + " -out " + pki.Pem(name));
}

// Paths of one world rooted at `root`.
TPki Layout(const std::string& root)
{
    TPki pki;
    pki.Root = root;
    pki.Home = root + "/home";
    pki.Database = pki.Home + "/.pki/nssdb";
    pki.MachineDatabase = root + "/machine/nssdb";
    pki.Files = root + "/pki";
    return pki;
}

void WriteSoftHsmConfig(const TPki& pki)
{
    const std::string conf = pki.Root + "/softhsm2.conf";
    std::ofstream out(conf);
    out << "directories.tokendir = " << pki.Root
        << "/tokens\nobjectstore.backend = file\nlog.level = ERROR\n";
    out.close();
    setenv("SOFTHSM2_CONF", conf.c_str(), 1);
}

void BuildWorld(const TPki& pki)
{
    std::filesystem::create_directories(pki.Database);
    std::filesystem::create_directories(pki.Files);
    std::filesystem::create_directories(pki.Root + "/tokens");
    WriteSoftHsmConfig(pki);

    MakeCertificate(pki, "root", "Dorvik Test Root", "", true);
    MakeCertificate(pki, "intermediate", "Dorvik Test Intermediate", "root", true);
    MakeCertificate(pki, "signer", "Anna Signer", "intermediate", false);
    MakeCertificate(pki, "hsm", "Harry Token", "intermediate", false);
    MakeCertificate(pki, "other", "Otto Other", "intermediate", false);
    MakeCertificate(pki, "loaded", "Lena Loaded", "intermediate", false);
    MakeCertificate(pki, "extra", "Dorvik Extra CA", "", true);
    const std::string& f = pki.Files;
    Run("openssl pkcs12 -export -in " + pki.Pem("signer") + " -inkey " + pki.Key("signer")
        + " -name 'Anna Signer' -passout pass:signer -out " + f + "/signer.p12");
    Run("openssl pkcs12 -export -in " + pki.Pem("loaded") + " -inkey " + pki.Key("loaded")
        + " -name 'Lena Loaded' -passout 'pass:" + P12Password + "' -out " + f + "/loaded.p12");

    const std::string db = "sql:" + pki.Database;
    Run("certutil -N --empty-password -d " + db);
    Run("pk12util -i " + f + "/signer.p12 -d " + db + " -W signer");
    Run("certutil -A -d " + db + " -n 'Dorvik Test Root' -t CT,C,C -i " + pki.Pem("root"));
    Run("certutil -A -d " + db + " -n 'Dorvik Test Intermediate' -t ,, -i " + pki.Pem("intermediate"));
    Run("certutil -A -d " + db + " -n 'Otto Other' -t ,, -i " + pki.Pem("other"));

    Run(std::string("softhsm2-util --init-token --free --label ") + TokenLabel + " --pin " + TokenPin
        + " --so-pin 87654321");
    Run("openssl pkcs8 -topk8 -nocrypt -in " + pki.Key("hsm") + " -outform DER -out " + f + "/hsm.key.der");
    Run("openssl x509 -in " + pki.Pem("hsm") + " -outform DER -out " + f + "/hsm.der");
    const std::string tool = std::string("pkcs11-tool --module ") + SoftHsmModule + " --token-label "
        + TokenLabel + " --login --pin " + TokenPin;
    Run(tool + " --write-object " + f + "/hsm.key.der --type privkey --id 01A2 --label 'Harry Token'");
    Run(tool + " --write-object " + f + "/hsm.der --type cert --id 01A2 --label 'Harry Token'");
    Run("modutil -dbdir " + db + " -add softhsm -libfile " + SoftHsmModule + " -force");
}

// Making keys and tokens takes seconds, and every test runs in a process of its own: the
// world is built once per build folder and each process works on a copy of it.
void CopyOfTheWorld(const TPki& pki)
{
    // Rebuilt whenever this file is: a changed fixture never meets an old world.
    constexpr const char* Stamp = "dorvik nss test world " __DATE__ " " __TIME__;
    const std::string templ = std::string(DORVIK_BINARY_DIR) + "/tests/platform_nss-world";
    const int lock = ::open((templ + ".lock").c_str(), O_CREAT | O_RDWR, 0600);
    if (lock < 0 || ::flock(lock, LOCK_EX) != 0)
        throw std::runtime_error("cannot lock " + templ);
    struct TUnlock {
        int Fd;
        ~TUnlock() { ::close(Fd); }
    } unlock {lock};
    const std::string marker = templ + "/ready";
    std::error_code error;
    bool fresh = false;
    if (std::filesystem::exists(marker, error)) {
        const auto age
            = std::filesystem::file_time_type::clock::now() - std::filesystem::last_write_time(marker);
        std::ifstream in(marker);
        std::string stamp;
        std::getline(in, stamp);
        fresh = stamp == Stamp && age < std::chrono::hours(24);
    }
    if (!fresh) {
        std::filesystem::remove_all(templ, error);
        BuildWorld(Layout(templ));
        std::ofstream(marker) << Stamp << "\n";
    }
    std::filesystem::copy(templ, pki.Root, std::filesystem::copy_options::recursive);
    std::filesystem::remove(pki.Root + "/ready");
    WriteSoftHsmConfig(pki);
}

class TNssEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        char pattern[] = "/tmp/dorvik-nss-XXXXXX";
        const char* root = mkdtemp(pattern);
        ASSERT_NE(root, nullptr);
        TPki& pki = MutablePki();
        pki = Layout(root);
        ASSERT_NO_THROW(CopyOfTheWorld(pki));
        setenv("HOME", pki.Home.c_str(), 1);
        setenv("DORVIK_MACHINE_NSSDB", pki.MachineDatabase.c_str(), 1);
        setenv("DORVIK_PIN", TokenPin, 1);
    }

    void TearDown() override
    {
        std::error_code error;
        std::filesystem::remove_all(MutablePki().Root, error);
    }
};

const auto* const Registered = ::testing::AddGlobalTestEnvironment(new TNssEnvironment);

}  // namespace

const TPki& Pki()
{
    return MutablePki();
}

std::string Run(const std::string& command)
{
    const std::string quoted = "bash -c '" + [&] {
        std::string escaped;
        for (char c : command)
            escaped += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return escaped;
    }() + "' 2>&1";
    FILE* pipe = popen(quoted.c_str(), "r");
    if (!pipe)
        throw std::runtime_error("cannot run " + command);
    std::string output;
    std::array<char, 4096> buffer;
    while (size_t n = fread(buffer.data(), 1, buffer.size(), pipe))
        output.append(buffer.data(), n);
    const int status = pclose(pipe);
    if (status != 0)
        throw std::runtime_error("command failed: " + command + "\n" + output);
    return output;
}

std::vector<uint8_t> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& data)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

std::string OpenSslThumbprint(const std::string& pemPath)
{
    std::string line = Run("openssl x509 -noout -fingerprint -sha1 -in " + pemPath);
    line = line.substr(line.find('=') + 1);
    std::string hex;
    for (char c : line)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            hex.push_back(c);
    return hex;
}

}  // namespace NssTest
