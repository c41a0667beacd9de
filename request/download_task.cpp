#include "request/download_task.h"

FILE* g_status_stream = nullptr;
FILE* g_command_stream = nullptr;
