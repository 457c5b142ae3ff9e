#include "launcher/run_records.h"

RunRecords runRecords;
