#include "norvotools/norvo-update/dir2url.h"

std::string DOWNLOAD_DIR = "/tmp/download";
std::string LATEST_ROM_DIR = "/tmp/download/LatestRom";
std::string CROSS_ROM_DIR = "/tmp/download/CrossRom";
std::string CURRENT_ROM_LINK = "/tmp/download/CurrentRom";
std::string REQUEST_UNCRYPTED_FILE = "/tmp/download/request.uncrypted";
std::string REQUEST_ENCRYPTED_FILE = "/tmp/download/request.encrypted";
std::string RESPONSE_UNCRYPTED_FILE = "/tmp/download/response.uncrypted";
std::string RESPONSE_ENCRYPTED_FILE = "/tmp/download/response.encrypted";
std::string STATUS_FILE = "/tmp/download/status";
std::string UPDATE_PACKAGE_FILE = "/tmp/secure_update.zip";
