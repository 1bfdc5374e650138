#include "device_access.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <map>
#include <mutex>

#include "merrow.h"

namespace salvitra {

namespace {

struct Outcomes {
    std::mutex mu;
    std::map<std::string, std::pair<AccessState, std::string>> byPath;
};

Outcomes &outcomes()
{
    static Outcomes o;
    return o;
}

std::atomic<DeviceBroker *> g_broker{nullptr};

// The core library's opener: asks the broker and keeps what it said.
int brokerOpener(const char *path, char *why, size_t whyLen, void *context)
{
    auto *broker = static_cast<DeviceBroker *>(context);
    OpenOutcome r = broker->open(path);
    {
        Outcomes &o = outcomes();
        std::lock_guard<std::mutex> l(o.mu);
        o.byPath[path] = {r.fd >= 0 ? AccessState::Open : r.state, r.why};
    }
    if (r.fd < 0 && why && whyLen)
        snprintf(why, whyLen, "%s", r.why.c_str());
    return r.fd;
}

std::string trimmed(const std::string &s)
{
    size_t b = 0, e = s.size();
    while (b < e && isspace((unsigned char)s[b]))
        b++;
    while (e > b && isspace((unsigned char)s[e - 1]))
        e--;
    return s.substr(b, e - b);
}

bool startsWithNoCase(const std::string &s, const std::string &prefix)
{
    if (prefix.empty() || s.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); i++)
        if (tolower((unsigned char)s[i]) != tolower((unsigned char)prefix[i]))
            return false;
    return true;
}

}  // namespace

void setDeviceBroker(DeviceBroker *broker)
{
    g_broker = broker;
    Salvitra_SetDeviceOpener(broker ? brokerOpener : nullptr, broker);
}

DeviceBroker *deviceBroker()
{
    return g_broker;
}

bool lastOpenOutcome(const std::string &path, AccessState *state, std::string *why)
{
    Outcomes &o = outcomes();
    std::lock_guard<std::mutex> l(o.mu);
    auto it = o.byPath.find(path);
    if (it == o.byPath.end())
        return false;
    if (state)
        *state = it->second.first;
    if (why)
        *why = it->second.second;
    return true;
}

void clearOpenOutcomes()
{
    Outcomes &o = outcomes();
    std::lock_guard<std::mutex> l(o.mu);
    o.byPath.clear();
}

AccessState stateForError(int err)
{
    return err == EACCES || err == EPERM ? AccessState::Denied : AccessState::Failed;
}

std::string driveSizeText(uint64_t bytes)
{
    static const char *units[] = {"bytes", "kB", "MB", "GB", "TB", "PB"};
    if (bytes < 1000)
        return std::to_string(bytes) + " bytes";
    double v = (double)bytes;
    int u = 0;
    while (v >= 999.95 && u < 5) {
        v /= 1000.0;
        u++;
    }
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
    return buf;
}

std::string driveDisplayName(const DriveFacts &facts, uint64_t size, const std::string &fallback)
{
    std::string vendor = trimmed(facts.vendor);
    std::string model = trimmed(facts.model);
    std::string name;
    if (facts.known && vendor.empty() && model.empty() && !facts.backingFile.empty())
        name = facts.backingFile.substr(facts.backingFile.find_last_of('/') + 1);
    else if (!facts.known || (vendor.empty() && model.empty()))
        name = fallback;
    else if (vendor.empty() || startsWithNoCase(model, vendor))
        name = model;
    else if (model.empty())
        name = vendor;
    else
        name = vendor + " " + model;
    if (!facts.known || size == 0)
        return name;
    return name + " \xe2\x80\x94 " + driveSizeText(size);
}

std::string busText(const std::string &bus)
{
    if (bus == "usb")
        return "USB";
    if (bus == "sdio")
        return "SD card";
    if (bus == "ieee1394")
        return "FireWire";
    return "";
}

}  // namespace salvitra
