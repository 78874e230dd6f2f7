// The capture protocol library: the capture stream's frames (Frame.h) and the
// JSON-lines reader (LineReader.h) and writer (StdoutWriter.h).
#pragma once

#include <CaptureProtocol/Bytes.h>
#include <CaptureProtocol/Frame.h>
#include <CaptureProtocol/LineReader.h>
#include <CaptureProtocol/StdoutWriter.h>
