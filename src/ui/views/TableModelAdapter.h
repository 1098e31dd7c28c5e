// Shows an engine table model (one folder's children) in a QTableView and feeds the thumbnail grid
// the same rows. It never owns or deletes the engine model. The row count is read once at install,
// and row 0 is read then too: the engine table sorts its folder when row 0 is first read, so doing
// it before any view reads a cell gives the table, the grid and the selection one order.
#pragma once

#include <QAbstractTableModel>

class CAbstractTableModel;

class TableModelAdapter : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit TableModelAdapter(QObject* parent = nullptr);

    // Installs model (nullptr for none, an empty table) as a model reset. The caller keeps
    // ownership and must keep the model alive until the next call.
    void setModel(CAbstractTableModel* model);
    CAbstractTableModel* model() const { return engineModel; }

    // The localization key of a column's header (a TableColumn: "Name", "Size", "Type", "Modified",
    // "ID").
    static const char* headerKey(int column);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    CAbstractTableModel* engineModel = nullptr;
    int rows = 0;
};
