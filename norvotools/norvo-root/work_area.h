// Work-area files, property names and record keys shared by every module.
// Each module holds its own copy (internal linkage); compare them by value.
#pragma once

#include <string>

static const std::string WORK_DIR = "/cache/norvo";
static const std::string LAST_LOCALE_FILE = "/cache/norvo/last_locale";
static const std::string LAST_LOG_FILE = "/cache/norvo/last_log";
static const std::string LAST_KMSG_FILE = "/cache/norvo/last_kmsg";
static const std::string RESPONSE_BODY_FILE = "/cache/norvo/response.body";
static const std::string OTA_HEADER_FILE = "/cache/norvo/otaheader";
static const std::string TIME_FILE = "/cache/norvo/time";
static const std::string COMMAND_FILE = "/cache/norvo/command";
static const std::string LOCALE_FILE = "/cache/norvo/last_locale";
static const std::string LAST_DIAG_NAME_FILE = "/cache/norvo/last_diag_name";
static const std::string ENABLE_ANDROID_REQUEST_FILE = "/cache/norvo/enable_android_request";
static const std::string ENABLE_ANDROID_RESPONSE_FILE = "/cache/norvo/enable_android_response";
static const std::string NORMAL_LAST_DIAG_FILE = "/cache/norvo/normal/last_diag";
static const std::string ERROR_LAST_DIAG_FILE = "/cache/norvo/error/last_diag";
static const std::string DIAG_PID_FILE = "/cache/norvo/diagpid";
// Declared by the telemetry header too; whichever comes first defines it.
#ifndef NORVO_ZEL_CACHE_DIR_DEFINED
#define NORVO_ZEL_CACHE_DIR_DEFINED
static const std::string ZEL_CACHE_DIR = "/cache/zelasd";
#endif
static const std::string PROP_IGNORE_TESTKEY = "norvo.ignore.testkey";
static const std::string PROP_FORCE_DETECT = "norvo.force.detect";
static const std::string PROP_FORCE_INSTALL = "norvo.force.install";
static const std::string LAST_TMP_FILE = "/cache/norvo/last_tmp";
static const std::string UNCRYPT_STATUS_FILE = "/cache/norvo/uncrypt_status";
static const std::string LAST_KMSG_NAME = "norvo/last_kmsg";
static const std::string LAST_LOG_NAME = "norvo/last_log";
static const std::string KEY_LATEST_ROM = "LatestRom";
static const std::string KEY_CROSS_ROM = "CrossRom";
static const std::string KEY_CURRENT_ROM = "CurrentRom";
static const std::string KEY_STATUS = "status";
static const std::string REQUEST_UNCRYPTED_NAME = "request.uncrypted";
static const std::string REQUEST_ENCRYPTED_NAME = "request.encrypted";
static const std::string KEY_FILESIZE = "filesize";
static const std::string KEY_FILENAME = "filename";
static const std::string KEY_CURR_VERSION = "curr_version";
static const std::string KEY_VERSION = "version";
static const std::string KEY_HOST = "host";
static const std::string KEY_MIRROR_LIST = "MirrorList";
static const std::string KEY_VALIDATE = "Validate";
static const std::string KEY_ERASE = "Erase";
static const std::string KEY_MD5 = "md5";
static const std::string DOWNLOAD_CACHE_DIR = "/cache/norvo/download";
static const std::string CACHE_REQUEST_NORVO_UNCRYPTED =
    "/cache/norvo/download/request.norvo.uncrypted";
static const std::string CACHE_REQUEST_NORVO_ENCRYPTED =
    "/cache/norvo/download/request.norvo.encrypted";
static const std::string CACHE_REQUEST_ANDROID_UNCRYPTED =
    "/cache/norvo/download/request.android.uncrypted";
static const std::string CACHE_REQUEST_ANDROID_ENCRYPTED =
    "/cache/norvo/download/request.android.encrypted";
static const std::string CACHE_RESPONSE_NORVO_UNCRYPTED =
    "/cache/norvo/download/response.norvo.uncrypted";
static const std::string CACHE_RESPONSE_NORVO_ENCRYPTED =
    "/cache/norvo/download/response.norvo.encrypted";
static const std::string CACHE_RESPONSE_ANDROID_UNCRYPTED =
    "/cache/norvo/download/response.android.uncrypted";
static const std::string CACHE_RESPONSE_ANDROID_ENCRYPTED =
    "/cache/norvo/download/response.android.encrypted";
static const std::string ZEL_WORK_DIR = "/cache/norvo/zel";
static const std::string HDR_CONTENT_LENGTH = "Content-Length";
static const std::string HDR_ORIG_CONTENT_LENGTH = "Oct-Orig-Content-Length";
static const std::string KEY_FILESIZE_2 = "filesize";
