// The open pass through the offset index of an indexedmzML document: the
// index is read and checked (offset_index.h), the document's header is read
// up to its first element (document_pass.h), then each listed element's
// header at its offset (element_header.h), by the subset tokenizer where its
// bytes allow and by expat otherwise. A long index of a plain file is
// parsed by two threads.
#pragma once

#include "document.h"
#include "failure.h"
#include "run.h"

namespace mzml {

class ByteSource;

// Fills *doc from the header and each element's header. False (with *why:
// Failure::IndexUnusable and the IndexProblem, or NoMemory) when the file has
// no index or the index is wrong in any way; the caller then runs
// scan_document.
bool index_document(const ByteSource& source, Document* doc, Outcome* why, XmlPath path = XmlPath::Auto);

}  // namespace mzml
