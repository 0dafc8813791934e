// TarnCL: object access to Tarn multivalue databases through ODBC. Include this header.
#pragma once

#include "tarn/about/about.h"
#include "tarn/about/terminal_presenter.h"
#include "tarn/connection/connection.h"
#include "tarn/files/file.h"
#include "tarn/files/index.h"
#include "tarn/lists/rule_module.h"
#include "tarn/lists/select_list.h"
#include "tarn/lists/tcl_command.h"
#include "tarn/dynarray/dynamic_array.h"
#include "tarn/dynarray/global_constant.h"
#include "tarn/frame/enums.h"
#include "tarn/frame/environment.h"
#include "tarn/frame/error.h"
#include "tarn/frame/object.h"
#include "tarn/frame/string.h"
#include "tarn/frame/variant.h"
