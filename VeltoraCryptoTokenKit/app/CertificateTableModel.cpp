#include "VeltoraCryptoTokenKit/app/CertificateTableModel.h"

#include <array>

namespace veltora {

namespace {

// Titles for the identifiers, in the same order.
constexpr std::array<const char*, certificateColumnIdentifiers.size()> columnTitles{
    "Common name", "Project", "Signing policy", "Fingerprint", "Expires"};

} // namespace

int CertificateTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() || !rows_ ? 0 : static_cast<int>(rows_->size());
}

int CertificateTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(certificateColumnIdentifiers.size());
}

QVariant CertificateTableModel::data(const QModelIndex& index, int role) const {
    if ((role != Qt::DisplayRole && role != Qt::ToolTipRole && role != Qt::EditRole) || !index.isValid() ||
        index.row() >= rowCount() || index.column() >= columnCount()) {
        return {};
    }
    const auto text = (*rows_)[static_cast<std::size_t>(index.row())].cellText(
        certificateColumnIdentifiers[static_cast<std::size_t>(index.column())]);
    return text ? QVariant(QString::fromStdString(*text)) : QVariant();
}

QVariant CertificateTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= columnCount()) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    const auto column = static_cast<std::size_t>(section);
    if (role == ColumnIdentifierRole) {
        const auto identifier = certificateColumnIdentifiers[column];
        return QString::fromUtf8(identifier.data(), static_cast<qsizetype>(identifier.size()));
    }
    if (role == Qt::DisplayRole) {
        return QString::fromUtf8(columnTitles[column]);
    }
    return {};
}

Qt::ItemFlags CertificateTableModel::flags(const QModelIndex& index) const {
    // Editable only so that a read-only editor lets part of a cell's text be selected.
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable : Qt::NoItemFlags;
}

void CertificateTableModel::reloadData(std::vector<Certificate> rows) {
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
}

} // namespace veltora
