// Telemetry store locations and the quality-service endpoints.
#pragma once

#include <string>

#include "norvo_config.h"

static const std::string ZEL_TMP_DIR = "/tmp/zel";
static const std::string ZEL_EVENTS_DIR = "/tmp/zel/events";
static const std::string ZEL_UPLOAD_URL_PREVIEW =
    "http://" NORVO_ZEL_PREVIEW_HOST "/zelas/fileUploadWithUrlId";
static const std::string ZEL_UPLOAD_URL = "https://" NORVO_ZEL_HOST "/zelas/fileUploadWithUrlId";
// The stored text of the international endpoint ends with one blank; kept as deployed.
static const std::string ZEL_UPLOAD_URL_INTL =
    "https://" NORVO_ZEL_INTL_HOST "/zelas/fileUploadWithUrlId ";
#ifndef NORVO_ZEL_CACHE_DIR_DEFINED
#define NORVO_ZEL_CACHE_DIR_DEFINED
static const std::string ZEL_CACHE_DIR = "/cache/zelasd";
#endif
