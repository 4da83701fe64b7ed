#include "reader/string_table.h"

#include "common/kv_messages.h"

const char* LoadMessage(UINT number) {
    return KvMessageText(number);
}
