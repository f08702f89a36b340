// The names of server/, the part every server driving the filter shares,
// as the host uses them: unqualified, as its own.
#pragma once

#include "server/EmittedHead.h"
#include "server/Fields.h"
#include "server/HeaderFields.h"

namespace nimbuswatch::host {

using server::connectionFieldFor;
using server::dropHopByHopFields;
using server::EmittedHead;
using server::EmittedHeadScanner;
using server::Field;
using server::fieldValue;
using server::Fields;
using server::hasToken;
using server::keepConnection;
using server::lastToken;
using server::parseEmittedHead;
using server::reasonPhrase;
using server::removeField;
using server::RequestFacts;
using server::serializeHead;
using server::setField;

}  // namespace nimbuswatch::host
