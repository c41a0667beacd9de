// The update query: device facts, the query JSON, its form fields and target URL.
#pragma once

#include <string>
#include <unordered_map>

#include "request/vendor/url_wrapper.h"

using FactMap = std::unordered_map<std::string, std::string>;

int getVEXAVersion(FactMap& facts);
int getVEXABigVersion(FactMap& facts);
int getCodeBase(FactMap& facts);
int getDeviceName(FactMap& facts);
int getImei(FactMap& facts);
int getRootable(FactMap& facts);
int getCarrier(FactMap& facts);
int getWhetherSystemModified(FactMap& facts);
// The same rule on a log file at `path` ("/cache/otad/otad.log" for the collector).
int getWhetherSystemModifiedFrom(const std::string& path, FactMap& facts);
int getDeviceLockState(FactMap& facts);
int getABSystem(FactMap& facts);
int getProductBoard(FactMap& facts);
int getSerialNum(FactMap& facts);
int getRomZone(FactMap& facts);
int getHashId(FactMap& facts);
int getLanguage(FactMap& facts);
int getRegion(FactMap& facts);
int getDeviceDpi(FactMap& facts);
int getBranchCode(FactMap& facts);

// Replaces `out` with the printed query JSON ("options" last).
void getUpdateJsonMap(std::string& out);
// Fills "q", "t", "s"; -1 when encryption or encoding fails.
int getUpdateUrlParams(const std::string& query, std::string&& t, int selector, FactMap& fields);
// Query fields plus target URL; always 0.
int checkUpdateInfo(FactMap& fields, URLWrapper& url);
// The form body: name=escaped(value) pairs joined by "&", in the map's iteration order.
std::string buildFormBody(const FactMap& fields);
