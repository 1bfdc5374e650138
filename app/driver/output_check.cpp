#include "output_check.h"

#include "inventory.h"

namespace salvitra {

OutputCheck prepareRecoveryOutput(const std::string &dir, const std::string &scannedDevice, OutputDir &out,
                                  bool sameMediumAccepted)
{
    OutputCheck c;
    if (!sameMediumAccepted && !scannedDevice.empty() && outputOnScannedMedium(dir, scannedDevice, &c.why)) {
        c.verdict = OutputVerdict::OnScannedMedium;
        return c;
    }
    c.why.clear();
    OutputError oe;
    if (!out.open(dir, &oe) || !out.checkWritable(&oe)) {
        c.verdict = OutputVerdict::NotWritable;
        c.why = oe.text;
    }
    return c;
}

std::string scannedDevicePath(const ScanJob &job)
{
    const ScanRequest &req = job.request();
    const DeviceInfo *d = req.inventory ? req.inventory->deviceOf(req.part) : nullptr;
    return d ? d->path : std::string();
}

}  // namespace salvitra
