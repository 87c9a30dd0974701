#include "X11SelectionReader.h"

struct X11SelectionReader::Private {};

X11SelectionReader::X11SelectionReader() : d(std::make_unique<Private>()) {}
X11SelectionReader::~X11SelectionReader() = default;

std::unique_ptr<X11SelectionReader> X11SelectionReader::create() { return nullptr; }

bool X11SelectionReader::clipboardHasOwner() const { return true; }

void X11SelectionReader::read(QObject*, std::function<void(std::optional<QString>)> done) { done(std::nullopt); }
