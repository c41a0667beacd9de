#define LOG_TAG "DownloadTask"

#include "request/download_task.h"

#include <android-base/logging.h>
#include <signal.h>

#include "request/addressinfo.h"
#include "request/romdownload.h"
#include "request/rominfo.h"
#include "request/syncservertime.h"

namespace {

template <typename... Events>
void GiveDriver(DownloadTask* driver, Events&... events) {
  (events.setDriver(driver), ...);
}

}  // namespace

int DownloadTask::run_first_stage() {
  // The events live until the first run() returns: the whole chain, with every
  // resolution completion, runs nested inside that call.
  SyncServerTime sync;
  AddressInfo address;
  RomInfo rom;
  GiveDriver(this, sync, address, rom);
  signal(SIGPIPE, SIG_IGN);
  sync.setNext(&address);
  sync.setStatus(STATUS_SYNC_SERVER_TIME);
  address.setNext(&rom);
  address.setStatus(STATUS_ADDRESS_INFO);
  rom.setNext(nullptr);
  rom.setStatus(STATUS_ROM_INFO);
  sync.run();
  // Locals are destroyed in reverse order: ROM URL check, update check, time sync.
  return 0;
}

int DownloadTask::run_second_stage() {
  RomDownload download;
  download.setDriver(this);
  // What the download takes of the records and the device, in one plan.
  download.setPlan(DownloadPlan::FromRecords());
  signal(SIGPIPE, SIG_IGN);
  download.setNext(nullptr);
  download.setStatus(STATUS_ROM_DOWNLOAD);
  download.run();
  return 0;
}

int DownloadTask::run_from_command(DownloadStatus status) {
  if (status == STATUS_INSTALL) return run_installer();
  SyncServerTime sync;
  AddressInfo address;
  RomInfo rom;
  RomDownload download;
  GiveDriver(this, sync, address, rom, download);
  signal(SIGPIPE, SIG_IGN);
  sync.setStatus(STATUS_SYNC_SERVER_TIME);
  address.setStatus(STATUS_ADDRESS_INFO);
  rom.setStatus(STATUS_ROM_INFO);
  download.setStatus(STATUS_ROM_DOWNLOAD);
  download.setPlan(DownloadPlan::FromRecords());
  if (status >= 1) sync.setNext(&address);
  if (status >= 2) address.setNext(&rom);
  if (status >= 3) rom.setNext(&download);
  download.setNext(nullptr);
  sync.run();
  // Destroyed in reverse order: download, ROM URL check, update check, time sync.
  return 0;
}
