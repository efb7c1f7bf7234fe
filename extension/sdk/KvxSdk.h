// Everything an extension application needs: include this one header.
#pragma once

#include "extension/sdk/Channel.h"
#include "extension/sdk/Error.h"
#include "extension/sdk/PipeClientTransport.h"
#include "extension/sdk/Session.h"
#include "extension/sdk/Version.h"
