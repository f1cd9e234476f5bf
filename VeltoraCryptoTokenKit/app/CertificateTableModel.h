#pragma once

#include "VeltoraCryptoTokenKit/app/Certificate.h"

#include <QAbstractTableModel>

#include <optional>
#include <vector>

namespace veltora {

// The certificate table's data: one row per registered certificate, one column
// per identifier of certificateColumnIdentifiers. The rows change only by a
// whole reload on the thread that owns the model.
class CertificateTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    // Header data role that answers a column's identifier ("commonname", ...).
    static constexpr int ColumnIdentifierRole = Qt::UserRole + 1;

    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Absent until start-up makes the list.
    const std::optional<std::vector<Certificate>>& rows() const { return rows_; }
    void reloadData(std::vector<Certificate> rows);

private:
    std::optional<std::vector<Certificate>> rows_;
};

} // namespace veltora
