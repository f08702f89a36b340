// The names of server/, the part every server driving the filter shares,
// as the host uses them: unqualified, as its own.
#pragma once

#include "server/ConfigCheck.h"
#include "server/ContentDecoder.h"
#include "server/EmittedHead.h"
#include "server/Fields.h"
#include "server/HeaderFields.h"
#include "server/UrlPath.h"

namespace nimbuswatch::host {

using server::afterPrefix;
using server::checkConfig;
using server::ConfigReport;
using server::connectionFieldFor;
using server::ContentDecoder;
using server::dropHopByHopFields;
using server::EmittedHead;
using server::EmittedHeadScanner;
using server::Field;
using server::fieldValue;
using server::Fields;
using server::hasToken;
using server::keepConnection;
using server::lastToken;
using server::joinPath;
using server::ParsedTarget;
using server::parseEmittedHead;
using server::parseTarget;
using server::percentEncodePath;
using server::problemLine;
using server::reasonPhrase;
using server::removeField;
using server::reportText;
using server::RequestTarget;
using server::RequestFacts;
using server::serializeHead;
using server::setField;
using server::TargetError;

}  // namespace nimbuswatch::host
