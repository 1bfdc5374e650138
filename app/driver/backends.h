// Factories of the scanner backends; backends.cpp picks one per request.
#pragma once

#include <memory>

#include "scan.h"

namespace salvitra {

// Each returns null when its library is not part of this build.
std::unique_ptr<ScanBackend> makeFatBackend(const ScanRequest &req);
std::unique_ptr<ScanBackend> makeFatFormattedBackend(const ScanRequest &req);
std::unique_ptr<ScanBackend> makeNtfsBackend(const ScanRequest &req);
std::unique_ptr<ScanBackend> makeNtfsFormattedBackend(const ScanRequest &req);
std::unique_ptr<ScanBackend> makeExt2Backend(const ScanRequest &req);
std::unique_ptr<ScanBackend> makeExt3Backend(const ScanRequest &req);
std::unique_ptr<ScanBackend> makeHfspBackend(const ScanRequest &req);
std::unique_ptr<ScanBackend> makeExfatBackend(const ScanRequest &req);
std::unique_ptr<ScanBackend> makeDeepBackend(const ScanRequest &req);

}  // namespace salvitra
