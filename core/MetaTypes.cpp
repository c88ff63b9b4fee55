#include "MetaTypes.h"

void RegisterRecordMetaTypes() {
    qRegisterMetaType<_FILE_NODE_>("FILE_NODE");
    qRegisterMetaType<_PARTITION_ITEM_>("PARTITION_ITEM");
}
