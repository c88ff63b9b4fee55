// Lets Qt item data and queued signals carry copies of the shared records.
#pragma once

#include <QtCore/QMetaType>
#include <QtCore/QVariant>

#include "Records.h"

Q_DECLARE_METATYPE(_FILE_NODE_)
Q_DECLARE_METATYPE(_PARTITION_ITEM_)

// Registers the records under the names "FILE_NODE" and "PARTITION_ITEM".
void RegisterRecordMetaTypes();
