#include "TableModelAdapter.h"

#include "EngineLock.h"
#include "ListIcons.h"
#include "interfaces.h"
#include "machelpers.h"

#include <array>

namespace {
constexpr std::array<const char*, TableColumnCount> kHeaderKeys{"Name", "Size", "Type", "Modified", "ID"};
}

TableModelAdapter::TableModelAdapter(QObject* parent) : QAbstractTableModel(parent) {}

const char* TableModelAdapter::headerKey(int column)
{
    return column >= 0 && column < TableColumnCount ? kHeaderKeys[size_t(column)] : nullptr;
}

void TableModelAdapter::setModel(CAbstractTableModel* model)
{
    beginResetModel();
    engineModel = model;
    rows = 0;
    if (engineModel) {
        EngineLocker lock(engineLock());
        rows = std::max(0, engineModel->getRowCount());
        // Reading row 0 puts the folder in its sort order now, before any cell is shown.
        if (rows > 0)
            (void)engineModel->getCellText(0, NameColumn);
    }
    endResetModel();
}

int TableModelAdapter::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : rows;
}

int TableModelAdapter::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : TableColumnCount;
}

QVariant TableModelAdapter::data(const QModelIndex& index, int role) const
{
    if (!engineModel || !index.isValid() || index.model() != this || index.row() >= rows ||
        index.column() >= TableColumnCount)
        return QVariant();
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole: {
        EngineLocker lock(engineLock());
        return QString::fromStdString(engineModel->getCellText(index.row(), index.column()));
    }
    case Qt::DecorationRole: {
        if (index.column() != NameColumn)
            return QVariant();
        int imageIndex;
        {
            EngineLocker lock(engineLock());
            imageIndex = engineModel->getRowImageIndex(index.row());
        }
        const QIcon icon = getImageByIdx(imageIndex);
        return icon.isNull() ? QVariant() : QVariant(icon);
    }
    case Qt::TextAlignmentRole:
        if (index.column() == SizeColumn)
            return QVariant(Qt::AlignRight | Qt::AlignVCenter);
        return QVariant();
    default: return QVariant();
    }
}

QVariant TableModelAdapter::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || (role != Qt::DisplayRole && role != Qt::AccessibleTextRole))
        return QAbstractTableModel::headerData(section, orientation, role);
    const char* key = headerKey(section);
    return key ? QVariant(QString::fromStdString(localize(key))) : QVariant();
}

Qt::ItemFlags TableModelAdapter::flags(const QModelIndex& index) const
{
    if (!index.isValid() || index.row() >= rows)
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}
