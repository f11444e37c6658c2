#include "transport/CompactionBase.h"

namespace tern {

CompactionDataHandler::CompactionDataHandler() = default;
CompactionDataHandler::CompactionDataHandler(const CompactionDataHandler&) = default;
CompactionDataHandler& CompactionDataHandler::operator=(const CompactionDataHandler&) = default;
CompactionDataHandler::~CompactionDataHandler() = default;

CompactionBase::CompactionBase(CompactionDataHandler* handler) : handler_(handler), valid_(false) {}
CompactionBase::CompactionBase(const CompactionBase& other) = default;
CompactionBase& CompactionBase::operator=(const CompactionBase& other) = default;
CompactionBase::~CompactionBase() = default;

}  // namespace tern
