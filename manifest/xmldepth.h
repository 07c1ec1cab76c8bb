#pragma once

#include <QByteArray>

// Deeper documents are taken as broken: the DOM parser and XMLNode::read recurse once per level,
// so a hostile file could otherwise overflow the stack. Real files nest a few levels.
constexpr int maxXmlDepth = 256;

namespace Manifest {

// Whether the text reads as XML without error and nests no deeper than maxDepth elements. The
// check itself keeps no stack, so it is safe to run on any input before a recursive parser.
bool isXmlNestedWithin(const QByteArray &xml, int maxDepth = maxXmlDepth);

} // namespace Manifest
