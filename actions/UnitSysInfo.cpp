#include "actions/UnitSysInfo.h"

#include "core/UnitStatusWords.h"
#include "crypto/UnitCryptHash.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <system_error>
#include <vector>

namespace UnitSysInfo {

using namespace UnitPlugActions;

namespace {

std::string Trimmed(std::string_view text)
{
    const size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos)
        return {};
    const size_t end = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(start, end - start + 1));
}

std::vector<std::string> FileLines(const char* path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(std::move(line));
    return lines;
}

// "KEY=value" lines of os-release, quotes removed.
std::map<std::string, std::string> OsRelease()
{
    std::vector<std::string> lines = FileLines("/etc/os-release");
    if (lines.empty())
        lines = FileLines("/usr/lib/os-release");
    std::map<std::string, std::string> values;
    for (const std::string& line : lines) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos || line.empty() || line[0] == '#')
            continue;
        std::string value = Trimmed(std::string_view(line).substr(equals + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        values[Trimmed(std::string_view(line).substr(0, equals))] = value;
    }
    return values;
}

// The first "name : value" of /proc/cpuinfo among the names that describe the model.
std::string ProcessorModel()
{
    std::map<std::string, std::string> found;
    for (const std::string& line : FileLines("/proc/cpuinfo")) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string name = Trimmed(std::string_view(line).substr(0, colon));
        if (!found.count(name))
            found[name] = Trimmed(std::string_view(line).substr(colon + 1));
    }
    for (const char* name : {"model name", "Model", "Hardware", "cpu model", "cpu", "Processor"})
        if (auto it = found.find(name); it != found.end() && !it->second.empty())
            return it->second;
    return {};
}

// Values of /proc/meminfo in bytes.
std::map<std::string, uint64_t> MemoryInfo()
{
    std::map<std::string, uint64_t> values;
    for (const std::string& line : FileLines("/proc/meminfo")) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::istringstream rest(line.substr(colon + 1));
        uint64_t amount = 0;
        std::string unit;
        if (!(rest >> amount))
            continue;
        rest >> unit;
        values[line.substr(0, colon)] = unit == "kB" ? amount * 1024 : amount;
    }
    return values;
}

// /proc/self/mounts escapes blanks in paths as octal.
std::string UnescapeMountField(std::string_view field)
{
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        const auto octal = [&](size_t at) { return field[at] >= '0' && field[at] <= '7'; };
        if (field[i] == '\\' && field.size() - i >= 4 && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

void AddDisks(TXmlDoc& disks)
{
    std::set<std::string> devices;
    for (const std::string& line : FileLines("/proc/self/mounts")) {
        std::istringstream fields(line);
        std::string device, path, type;
        if (!(fields >> device >> path >> type))
            continue;
        device = UnescapeMountField(device);
        path = UnescapeMountField(path);
        // Block devices, once each; and the root even where it lives on no device (containers).
        if (!((device.rfind("/dev/", 0) == 0 && devices.insert(device).second) || path == "/"))
            continue;
        struct statvfs fs {};
        if (statvfs(path.c_str(), &fs) != 0)
            continue;
        TXmlDoc* disk = disks.New("Disk");
        disk->Setp("Device", device);
        disk->Setp("Path", path);
        disk->Setp("Type", type);
        disk->Setp("Size", std::to_string(static_cast<uint64_t>(fs.f_blocks) * fs.f_frsize));
        disk->Setp("Free", std::to_string(static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize));
    }
}

std::string HardwareAddress(const std::string& interface)
{
    if (interface.find('/') != std::string::npos || interface == "." || interface == "..")
        return {};
    std::ifstream in("/sys/class/net/" + interface + "/address");
    std::string address;
    std::getline(in, address);
    return Trimmed(address);
}

void AddNetwork(TXmlDoc& network)
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return;
    const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owner(list, freeifaddrs);
    std::map<std::string, TXmlDoc*> interfaces;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_name == nullptr)
            continue;
        const std::string name = entry->ifa_name;
        TXmlDoc*& node = interfaces[name];
        if (node == nullptr) {
            node = network.New("Interface");
            node->Setp("Name", name);
            node->Setp("Hardware", HardwareAddress(name));
            node->Setb("Loopback", (entry->ifa_flags & IFF_LOOPBACK) != 0);
            node->Setb("Up", (entry->ifa_flags & IFF_UP) != 0);
        }
        if (entry->ifa_addr == nullptr)
            continue;
        char text[INET6_ADDRSTRLEN] = {};
        const char* family = nullptr;
        if (entry->ifa_addr->sa_family == AF_INET) {
            family = "IPv4";
            inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr, text, sizeof text);
        } else if (entry->ifa_addr->sa_family == AF_INET6) {
            family = "IPv6";
            inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr)->sin6_addr, text, sizeof text);
        }
        if (family == nullptr)
            continue;
        TXmlDoc* address = node->New("Address");
        address->Setp("Family", family);
        address->Setp("Value", text);
    }
}

}  // namespace

std::unique_ptr<TXmlDoc> GatherSystemInformation()
{
    struct utsname system {};
    if (uname(&system) != 0)
        throw std::system_error(errno, std::generic_category(), "uname");
    auto information = std::make_unique<TXmlDoc>("SystemInformation");

    information->GetNode("Computer")->Setp("Name", system.nodename);

    TXmlDoc* os = information->GetNode("OperatingSystem");
    const auto release = OsRelease();
    const auto value = [&](const char* key) {
        const auto it = release.find(key);
        return it == release.end() ? std::string() : it->second;
    };
    os->Setp("Name", value("PRETTY_NAME").empty() ? value("NAME") : value("PRETTY_NAME"));
    os->Setp("ID", value("ID"));
    os->Setp("Version", value("VERSION_ID"));
    os->Setp("Kernel", system.sysname);
    os->Setp("Release", system.release);
    os->Setp("Build", system.version);
    os->Setp("Machine", system.machine);

    TXmlDoc* processor = information->GetNode("Processor");
    processor->Setp("Model", ProcessorModel());
    const long count = sysconf(_SC_NPROCESSORS_ONLN);
    processor->Setp("Count", std::to_string(count > 0 ? count : 1));

    TXmlDoc* memory = information->GetNode("Memory");
    const auto meminfo = MemoryInfo();
    const auto amount = [&](const char* key) {
        const auto it = meminfo.find(key);
        return it == meminfo.end() ? std::string() : std::to_string(it->second);
    };
    memory->Setp("Total", amount("MemTotal"));
    memory->Setp("Available", amount("MemAvailable"));

    AddDisks(*information->GetNode("Disks"));
    AddNetwork(*information->GetNode("Network"));
    return information;
}

std::string IdentityText(TXmlDoc& information)
{
    TXmlDoc* os = information.GetNode("OperatingSystem");
    TXmlDoc* processor = information.GetNode("Processor");
    std::string text = information.GetNode("Computer")->Getp("Name");
    for (const char* part : {"Name", "Kernel", "Machine"})
        text += "|" + os->Getp(part);
    text += "|" + processor->Getp("Model") + "|" + processor->Getp("Count");
    text += "|" + information.GetNode("Memory")->Getp("Total");
    std::set<std::string> hardware;
    TXmlDoc* network = information.GetNode("Network");
    for (int i = 0; i < network->GetNodeCount(); ++i) {
        TXmlDoc* interface = network->ChildAt(static_cast<size_t>(i));
        const std::string address = interface->Getp("Hardware");
        if (!interface->Getb("Loopback") && !address.empty() && address != "00:00:00:00:00:00")
            hardware.insert(address);
    }
    for (const std::string& address : hardware)
        text += "|" + address;
    return text;
}

int32_t TSysInfoAction::Execute(TXmlDoc& request, TXmlDoc& response)
{
    if (AnswerApiQuery(request, response))
        return StatusHandled;
    if (request.GetName() != IdSystemInformation)
        return StatusNotHandled;
    const TXmlDoc* version = request.FindNode("Version");
    if (version == nullptr || !version->IsNumeric() || version->GetAsInt() != 1) {
        response.Setp("Status", std::string(Words::VersionNotSupported));
        return StatusHandled;
    }
    const std::unique_ptr<TXmlDoc> information = GatherSystemInformation();
    AddDataChild(response, "Information", information->GetXML());
    response.GetNode("ID")->SetValue(UnitCryptHash::DigestText(IdentityText(*information), UnitCryptHash::TCryptHash::SHA1));
    response.Setp("Status", std::string(Words::OK));
    return StatusHandled;
}

}  // namespace UnitSysInfo
