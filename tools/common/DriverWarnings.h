// Qt's PostgreSQL driver frees each prepared statement on the server when the statement goes,
// and warns for every one it cannot free. After the server has gone that is every statement of
// the lost session, on every reconnect: lines of no use in a service's journal, where the
// program has said once that the database cannot be reached.
#pragma once

namespace tools {

// Leaves out those warnings; every other message goes where it went before.
void drop_lost_statement_warnings();

}  // namespace tools
