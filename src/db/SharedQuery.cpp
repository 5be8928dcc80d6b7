#include "db/SharedQuery.h"

#include "common/Messages.h"

namespace b2d {

std::unique_ptr<TVTAdoQuery> RunQuery(const TVTAdoQuery& sharedQuery, const QString& sql, bool editable,
                                      Messages& messages)
{
    auto query = std::make_unique<TVTAdoQuery>();
    try {
        TADOConnection* connection = sharedQuery.Connection();
        if (!connection)
            throw DatabaseError(QStringLiteral("The shared query has no connection"));
        query->setConnection(connection);
        if (!connection->InTransaction())
            connection->BeginTrans();
        query->setLockType(editable ? TLockType::ltOptimistic : TLockType::ltReadOnly);
        query->setSQL({sql});
        query->Open();
        return query;
    } catch (const std::exception& e) {
        const QString text = dynamic_cast<const DatabaseError*>(&e)
                                 ? static_cast<const DatabaseError&>(e).text()
                                 : QString::fromUtf8(e.what());
        messages.ShowErrorMessage(QStringLiteral("Det gick inte att utföra SQL-frågan:") + u' ' + sql + u'!' +
                                  QStringLiteral("\r\r") + text);
        try {
            query->Close();
            query.reset();
        } catch (...) {
            // An error while freeing the query changes nothing for the caller.
        }
        return nullptr;
    }
}

} // namespace b2d
