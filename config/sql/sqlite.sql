-- Tables of the data centre's databases, for SQLite (the embedded default).
-- The program creates them by itself in a new, empty database file; this file
-- is built into the program. It holds the tables of both databases: the main
-- database (station data, command table) and the secondary one (ST_PPTN_R,
-- ST_RIVER_R), so either file can be made from it.
--
-- SQLite has no stored procedures. Each procedure the program calls is a view
-- with an INSTEAD OF INSERT trigger: the program sends
-- "exec proc_X 'a','b'" as "insert into proc_X values('a','b')".

-- Stations, maintained by other systems; the program writes the period
-- rainfall text and the time it last heard from the station.
CREATE TABLE DeviceInfo (
    YCZNo          VARCHAR(50) PRIMARY KEY,
    StationName    VARCHAR(100),
    PeriodRainfall VARCHAR(50),
    RefreshDate    DATETIME
);

-- Hourly and five-minute values, one row per station and time slot.
CREATE TABLE DeviceHourData (
    Id          INTEGER PRIMARY KEY AUTOINCREMENT,
    DevNo       VARCHAR(20),
    YCZNo       VARCHAR(50) NOT NULL,
    CommandName VARCHAR(4),
    CommandData TEXT,
    InsertTime  DATETIME,
    Status      INTEGER,
    waterLevel  VARCHAR(50),
    Rainfall    VARCHAR(50),
    Flowmeter   VARCHAR(50),
    Year        INTEGER,
    Month       INTEGER,
    Day         INTEGER,
    Mark        VARCHAR(50),
    ZXZNO       VARCHAR(4),
    Hour        INTEGER,
    SaveTime    DATETIME,
    Num         INTEGER
);
CREATE INDEX IX_DeviceHourData_Slot ON DeviceHourData (YCZNo, SaveTime, CommandName);

-- Alarm reports.
CREATE TABLE DeviceAlarmData (
    Id          INTEGER PRIMARY KEY AUTOINCREMENT,
    DevNo       VARCHAR(20),
    YCZNo       VARCHAR(50) NOT NULL,
    CommandName VARCHAR(4),
    CommandData TEXT,
    AlarmInfo   VARCHAR(200),
    InsertTime  DATETIME,
    Status      INTEGER,
    Year        INTEGER,
    Month       INTEGER,
    Day         INTEGER,
    Mark        DATETIME,
    ZXZNO       VARCHAR(4)
);
CREATE INDEX IX_DeviceAlarmData_Station ON DeviceAlarmData (YCZNo, InsertTime);

-- Downlink commands queued by other systems: the frame as hexadecimal text.
-- Status 0 = waiting, 1 = handed to the station's connection.
CREATE TABLE SendCommandInfo (
    Id          INTEGER PRIMARY KEY AUTOINCREMENT,
    YCZNo       VARCHAR(50) NOT NULL,
    CommandData TEXT NOT NULL,
    Status      INTEGER NOT NULL DEFAULT 0,
    InsertTime  DATETIME NOT NULL DEFAULT (datetime('now', 'localtime'))
);
CREATE INDEX IX_SendCommandInfo_Waiting ON SendCommandInfo (Status, InsertTime);

-- Every acknowledged frame, as hexadecimal text (proc_InsertReceive).
CREATE TABLE ReceiveData (
    Id          INTEGER PRIMARY KEY AUTOINCREMENT,
    YCZNo       VARCHAR(50) NOT NULL,
    CommandName VARCHAR(4),
    CommandData TEXT,
    InsertTime  DATETIME NOT NULL DEFAULT (datetime('now', 'localtime'))
);
CREATE INDEX IX_ReceiveData_Station ON ReceiveData (YCZNo, InsertTime);

-- One reading of a timed report (proc_insertDeviceTimingData).
CREATE TABLE DeviceTimingData (
    Id           INTEGER PRIMARY KEY AUTOINCREMENT,
    DevNo        VARCHAR(20),
    YCZNo        VARCHAR(50) NOT NULL,
    CommandName  VARCHAR(4),
    CommandData  TEXT,
    Status       INTEGER,
    ChannelName  VARCHAR(20),
    ElementId    VARCHAR(10),
    ElementValue VARCHAR(50),
    Unit         VARCHAR(10),
    Mark         VARCHAR(50),
    ObserveTime  DATETIME,
    InsertTime   DATETIME NOT NULL DEFAULT (datetime('now', 'localtime'))
);
CREATE INDEX IX_DeviceTimingData_Station ON DeviceTimingData (YCZNo, ObserveTime);

-- Pictures received completely (pro_updateImage); FilePath is relative to the
-- picture folder: the day folder, a backslash, the file name.
CREATE TABLE DeviceImage (
    Id         INTEGER PRIMARY KEY AUTOINCREMENT,
    YCZNo      VARCHAR(50) NOT NULL,
    CameraNo   INTEGER,
    PicFlag    VARCHAR(20),
    Status     INTEGER,
    PicType    VARCHAR(20),
    FilePath   VARCHAR(260),
    InsertTime DATETIME NOT NULL DEFAULT (datetime('now', 'localtime'))
);

-- Secondary database: precipitation.
CREATE TABLE ST_PPTN_R (
    STCD CHAR(8) NOT NULL,
    TM   DATETIME NOT NULL,
    DRP  NUMERIC(5,1),
    INTV NUMERIC(5,2),
    PDR  NUMERIC(5,2),
    DYP  NUMERIC(5,1),
    WTH  CHAR(1),
    PRIMARY KEY (STCD, TM)
);

-- Secondary database: river level and flow.
CREATE TABLE ST_RIVER_R (
    STCD     CHAR(8) NOT NULL,
    TM       DATETIME NOT NULL,
    Z        NUMERIC(7,3),
    Q        NUMERIC(9,3),
    XSA      NUMERIC(9,3),
    XSAVV    NUMERIC(5,3),
    XSMXV    NUMERIC(5,3),
    FLWCHRCD CHAR(1),
    WPTN     CHAR(1),
    MSQMT    CHAR(1),
    MSAMT    CHAR(1),
    MSVMT    CHAR(1),
    PRIMARY KEY (STCD, TM)
);

-- Bookkeeping of the data centre's report journal: for each journal (a local
-- file of the data centre, named by its identity), the last report whose rows
-- are in this database. It is written in the same transaction as the rows, so
-- after a crash nothing is written twice. The data centre creates this table
-- itself when it is missing.
CREATE TABLE JournalApplied (
    JournalId  VARCHAR(64) PRIMARY KEY,
    LastSeq    BIGINT NOT NULL,
    UpdateTime DATETIME
);

-- proc_InsertReceive storage number, function code, frame as hexadecimal text
CREATE VIEW proc_InsertReceive (YCZNo, CommandName, CommandData) AS
    SELECT NULL, NULL, NULL WHERE 0;
CREATE TRIGGER proc_InsertReceive_Run INSTEAD OF INSERT ON proc_InsertReceive
BEGIN
    INSERT INTO ReceiveData (YCZNo, CommandName, CommandData, InsertTime)
    VALUES (NEW.YCZNo, NEW.CommandName, NEW.CommandData, datetime('now', 'localtime'));
END;

-- proc_insertDeviceTimingData: one reading of a timed report, 11 arguments
CREATE VIEW proc_insertDeviceTimingData (DevNo, YCZNo, CommandName, CommandData, Status, ChannelName,
                                         ElementId, ElementValue, Unit, Mark, ObserveTime) AS
    SELECT NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL WHERE 0;
CREATE TRIGGER proc_insertDeviceTimingData_Run INSTEAD OF INSERT ON proc_insertDeviceTimingData
BEGIN
    INSERT INTO DeviceTimingData (DevNo, YCZNo, CommandName, CommandData, Status, ChannelName, ElementId,
                                  ElementValue, Unit, Mark, ObserveTime, InsertTime)
    VALUES (NEW.DevNo, NEW.YCZNo, NEW.CommandName, NEW.CommandData, NEW.Status, NEW.ChannelName, NEW.ElementId,
            NEW.ElementValue, NEW.Unit, NEW.Mark, NEW.ObserveTime, datetime('now', 'localtime'));
END;

-- proc_updateRgzs: one value of a five-minute report, 15 arguments. The value
-- goes into the named column (Rainfall, waterLevel or Flowmeter) of the
-- station's row for the slot; without such a row a new one is made.
CREATE VIEW proc_updateRgzs (DevNo, YCZNo, CommandName, CommandData, NowTime, ColumnName, ColumnValue,
                             SaveTime, Year, Month, Day, Mark, ZXZNO, Hour, Status) AS
    SELECT NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL WHERE 0;
CREATE TRIGGER proc_updateRgzs_Run INSTEAD OF INSERT ON proc_updateRgzs
WHEN NEW.ColumnName IN ('Rainfall', 'waterLevel', 'Flowmeter')
BEGIN
    UPDATE DeviceHourData
       SET Rainfall   = CASE WHEN NEW.ColumnName = 'Rainfall' THEN NEW.ColumnValue ELSE Rainfall END,
           waterLevel = CASE WHEN NEW.ColumnName = 'waterLevel' THEN NEW.ColumnValue ELSE waterLevel END,
           Flowmeter  = CASE WHEN NEW.ColumnName = 'Flowmeter' THEN NEW.ColumnValue ELSE Flowmeter END
     WHERE YCZNo = NEW.YCZNo AND SaveTime = NEW.SaveTime;
    INSERT INTO DeviceHourData (DevNo, YCZNo, CommandName, CommandData, InsertTime, Status, waterLevel, Rainfall,
                                Flowmeter, Year, Month, Day, Mark, ZXZNO, Hour, SaveTime)
    SELECT NEW.DevNo, NEW.YCZNo, NEW.CommandName, NEW.CommandData, NEW.NowTime, NEW.Status,
           CASE WHEN NEW.ColumnName = 'waterLevel' THEN NEW.ColumnValue ELSE '' END,
           CASE WHEN NEW.ColumnName = 'Rainfall' THEN NEW.ColumnValue ELSE '' END,
           CASE WHEN NEW.ColumnName = 'Flowmeter' THEN NEW.ColumnValue ELSE '' END,
           NEW.Year, NEW.Month, NEW.Day, NEW.Mark, NEW.ZXZNO, NEW.Hour, NEW.SaveTime
     WHERE NOT EXISTS (SELECT 1 FROM DeviceHourData WHERE YCZNo = NEW.YCZNo AND SaveTime = NEW.SaveTime);
END;

-- pro_updateImage: a picture received completely, 6 arguments
CREATE VIEW pro_updateImage (YCZNo, CameraNo, PicFlag, Status, PicType, FilePath) AS
    SELECT NULL, NULL, NULL, NULL, NULL, NULL WHERE 0;
CREATE TRIGGER pro_updateImage_Run INSTEAD OF INSERT ON pro_updateImage
BEGIN
    INSERT INTO DeviceImage (YCZNo, CameraNo, PicFlag, Status, PicType, FilePath, InsertTime)
    VALUES (NEW.YCZNo, NEW.CameraNo, NEW.PicFlag, NEW.Status, NEW.PicType, NEW.FilePath,
            datetime('now', 'localtime'));
END;
