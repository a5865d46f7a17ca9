#pragma once

// The JSON module in one include: values, reader, writer.

#include "json/reader.h"
#include "json/value.h"
#include "json/writer.h"
