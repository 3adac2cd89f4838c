#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "station/device_row.h"

// A device's row as a station records its start, and its end (passed, or failed in verification).
kelvo::DeviceRow benchRow(const std::string& station, const std::string& port, std::uint64_t device,
                          std::uint32_t serial);
void finishRow(kelvo::DeviceRow& row, bool failed);

// The real stations against kelvo-sim fixtures, on the ledger and without it (see ledger_bench.cpp).
int stationsBench(const std::string& image, int ports, int devices, const std::vector<int>& counts);
