-- Tables and stored procedures of the data centre's databases, for SQL Server
-- (2016 SP1 or later). Run it once in each database the data centre writes, as
-- a user who may create tables and procedures there, for example:
--     sqlcmd -S HOST -d DATABASE -U USER -i sqlserver.sql
-- It holds the tables of both databases: the main database (station data,
-- command table, procedures) and the secondary one (ST_PPTN_R, ST_RIVER_R).
-- The program sends its statements to SQL Server as they are written.

-- Stations, maintained by other systems; the program writes the period
-- rainfall text and the time it last heard from the station.
IF OBJECT_ID(N'dbo.DeviceInfo', N'U') IS NULL
CREATE TABLE dbo.DeviceInfo (
    YCZNo          VARCHAR(50) NOT NULL PRIMARY KEY,
    StationName    NVARCHAR(100) NULL,
    PeriodRainfall VARCHAR(50) NULL,
    RefreshDate    DATETIME NULL
);
GO

-- Hourly and five-minute values, one row per station and time slot.
IF OBJECT_ID(N'dbo.DeviceHourData', N'U') IS NULL
BEGIN
    CREATE TABLE dbo.DeviceHourData (
        Id          BIGINT IDENTITY(1,1) NOT NULL PRIMARY KEY,
        DevNo       VARCHAR(20) NULL,
        YCZNo       VARCHAR(50) NOT NULL,
        CommandName VARCHAR(4) NULL,
        CommandData VARCHAR(MAX) NULL,
        InsertTime  DATETIME NULL,
        Status      INT NULL,
        waterLevel  VARCHAR(50) NULL,
        Rainfall    VARCHAR(50) NULL,
        Flowmeter   VARCHAR(50) NULL,
        [Year]      INT NULL,
        [Month]     INT NULL,
        [Day]       INT NULL,
        Mark        VARCHAR(50) NULL,
        ZXZNO       VARCHAR(4) NULL,
        [Hour]      INT NULL,
        SaveTime    DATETIME NULL,
        Num         INT NULL
    );
    CREATE INDEX IX_DeviceHourData_Slot ON dbo.DeviceHourData (YCZNo, SaveTime, CommandName);
END
GO

-- Alarm reports.
IF OBJECT_ID(N'dbo.DeviceAlarmData', N'U') IS NULL
BEGIN
    CREATE TABLE dbo.DeviceAlarmData (
        Id          BIGINT IDENTITY(1,1) NOT NULL PRIMARY KEY,
        DevNo       VARCHAR(20) NULL,
        YCZNo       VARCHAR(50) NOT NULL,
        CommandName VARCHAR(4) NULL,
        CommandData VARCHAR(MAX) NULL,
        AlarmInfo   NVARCHAR(200) NULL,
        InsertTime  DATETIME NULL,
        Status      INT NULL,
        [Year]      INT NULL,
        [Month]     INT NULL,
        [Day]       INT NULL,
        Mark        DATETIME NULL,
        ZXZNO       VARCHAR(4) NULL
    );
    CREATE INDEX IX_DeviceAlarmData_Station ON dbo.DeviceAlarmData (YCZNo, InsertTime);
END
GO

-- Downlink commands queued by other systems: the frame as hexadecimal text.
-- Status 0 = waiting, 1 = handed to the station's connection.
IF OBJECT_ID(N'dbo.SendCommandInfo', N'U') IS NULL
BEGIN
    CREATE TABLE dbo.SendCommandInfo (
        Id          BIGINT IDENTITY(1,1) NOT NULL PRIMARY KEY,
        YCZNo       VARCHAR(50) NOT NULL,
        CommandData VARCHAR(MAX) NOT NULL,
        Status      INT NOT NULL DEFAULT 0,
        InsertTime  DATETIME NOT NULL DEFAULT GETDATE()
    );
    CREATE INDEX IX_SendCommandInfo_Waiting ON dbo.SendCommandInfo (Status, InsertTime);
END
GO

-- Every acknowledged frame, as hexadecimal text (proc_InsertReceive).
IF OBJECT_ID(N'dbo.ReceiveData', N'U') IS NULL
BEGIN
    CREATE TABLE dbo.ReceiveData (
        Id          BIGINT IDENTITY(1,1) NOT NULL PRIMARY KEY,
        YCZNo       VARCHAR(50) NOT NULL,
        CommandName VARCHAR(4) NULL,
        CommandData VARCHAR(MAX) NULL,
        InsertTime  DATETIME NOT NULL DEFAULT GETDATE()
    );
    CREATE INDEX IX_ReceiveData_Station ON dbo.ReceiveData (YCZNo, InsertTime);
END
GO

-- One reading of a timed report (proc_insertDeviceTimingData).
IF OBJECT_ID(N'dbo.DeviceTimingData', N'U') IS NULL
BEGIN
    CREATE TABLE dbo.DeviceTimingData (
        Id           BIGINT IDENTITY(1,1) NOT NULL PRIMARY KEY,
        DevNo        VARCHAR(20) NULL,
        YCZNo        VARCHAR(50) NOT NULL,
        CommandName  VARCHAR(4) NULL,
        CommandData  VARCHAR(MAX) NULL,
        Status       INT NULL,
        ChannelName  VARCHAR(20) NULL,
        ElementId    VARCHAR(10) NULL,
        ElementValue VARCHAR(50) NULL,
        Unit         VARCHAR(10) NULL,
        Mark         VARCHAR(50) NULL,
        ObserveTime  DATETIME NULL,
        InsertTime   DATETIME NOT NULL DEFAULT GETDATE()
    );
    CREATE INDEX IX_DeviceTimingData_Station ON dbo.DeviceTimingData (YCZNo, ObserveTime);
END
GO

-- Pictures received completely (pro_updateImage); FilePath is relative to the
-- picture folder: the day folder, a backslash, the file name.
IF OBJECT_ID(N'dbo.DeviceImage', N'U') IS NULL
CREATE TABLE dbo.DeviceImage (
    Id         BIGINT IDENTITY(1,1) NOT NULL PRIMARY KEY,
    YCZNo      VARCHAR(50) NOT NULL,
    CameraNo   INT NULL,
    PicFlag    VARCHAR(20) NULL,
    Status     INT NULL,
    PicType    VARCHAR(20) NULL,
    FilePath   NVARCHAR(260) NULL,
    InsertTime DATETIME NOT NULL DEFAULT GETDATE()
);
GO

-- Secondary database: precipitation.
IF OBJECT_ID(N'dbo.ST_PPTN_R', N'U') IS NULL
CREATE TABLE dbo.ST_PPTN_R (
    STCD CHAR(8) NOT NULL,
    TM   DATETIME NOT NULL,
    DRP  NUMERIC(5,1) NULL,
    INTV NUMERIC(5,2) NULL,
    PDR  NUMERIC(5,2) NULL,
    DYP  NUMERIC(5,1) NULL,
    WTH  CHAR(1) NULL,
    CONSTRAINT PK_ST_PPTN_R PRIMARY KEY (STCD, TM)
);
GO

-- Secondary database: river level and flow.
IF OBJECT_ID(N'dbo.ST_RIVER_R', N'U') IS NULL
CREATE TABLE dbo.ST_RIVER_R (
    STCD     CHAR(8) NOT NULL,
    TM       DATETIME NOT NULL,
    Z        NUMERIC(7,3) NULL,
    Q        NUMERIC(9,3) NULL,
    XSA      NUMERIC(9,3) NULL,
    XSAVV    NUMERIC(5,3) NULL,
    XSMXV    NUMERIC(5,3) NULL,
    FLWCHRCD CHAR(1) NULL,
    WPTN     CHAR(1) NULL,
    MSQMT    CHAR(1) NULL,
    MSAMT    CHAR(1) NULL,
    MSVMT    CHAR(1) NULL,
    CONSTRAINT PK_ST_RIVER_R PRIMARY KEY (STCD, TM)
);
GO

-- Bookkeeping of the data centre's report journal: for each journal (a local
-- file of the data centre, named by its identity), the last report whose rows
-- are in this database. It is written in the same transaction as the rows, so
-- after a crash nothing is written twice. The data centre creates this table
-- itself when it is missing.
IF OBJECT_ID(N'dbo.JournalApplied', N'U') IS NULL
CREATE TABLE dbo.JournalApplied (
    JournalId  VARCHAR(64) NOT NULL PRIMARY KEY,
    LastSeq    BIGINT NOT NULL,
    UpdateTime DATETIME NULL
);
GO

-- Storage number, function code, frame as hexadecimal text.
CREATE OR ALTER PROCEDURE dbo.proc_InsertReceive
    @YCZNo       VARCHAR(50),
    @CommandName VARCHAR(4),
    @CommandData VARCHAR(MAX)
AS
BEGIN
    SET NOCOUNT ON;
    INSERT INTO dbo.ReceiveData (YCZNo, CommandName, CommandData, InsertTime)
    VALUES (@YCZNo, @CommandName, @CommandData, GETDATE());
END
GO

-- One reading of a timed report.
CREATE OR ALTER PROCEDURE dbo.proc_insertDeviceTimingData
    @DevNo        VARCHAR(20),
    @YCZNo        VARCHAR(50),
    @CommandName  VARCHAR(4),
    @CommandData  VARCHAR(MAX),
    @Status       INT,
    @ChannelName  VARCHAR(20),
    @ElementId    VARCHAR(10),
    @ElementValue VARCHAR(50),
    @Unit         VARCHAR(10),
    @Mark         VARCHAR(50),
    @ObserveTime  DATETIME
AS
BEGIN
    SET NOCOUNT ON;
    INSERT INTO dbo.DeviceTimingData (DevNo, YCZNo, CommandName, CommandData, Status, ChannelName, ElementId,
                                      ElementValue, Unit, Mark, ObserveTime, InsertTime)
    VALUES (@DevNo, @YCZNo, @CommandName, @CommandData, @Status, @ChannelName, @ElementId,
            @ElementValue, @Unit, @Mark, @ObserveTime, GETDATE());
END
GO

-- One value of a five-minute report: into the named column (Rainfall,
-- waterLevel or Flowmeter) of the station's row for the slot; without such a
-- row a new one is made.
CREATE OR ALTER PROCEDURE dbo.proc_updateRgzs
    @DevNo       VARCHAR(20),
    @YCZNo       VARCHAR(50),
    @CommandName VARCHAR(4),
    @CommandData VARCHAR(MAX),
    @NowTime     DATETIME,
    @ColumnName  VARCHAR(20),
    @ColumnValue VARCHAR(50),
    @SaveTime    DATETIME,
    @Year        INT,
    @Month       INT,
    @Day         INT,
    @Mark        VARCHAR(50),
    @ZXZNO       VARCHAR(4),
    @Hour        INT,
    @Status      INT
AS
BEGIN
    SET NOCOUNT ON;
    IF @ColumnName NOT IN ('Rainfall', 'waterLevel', 'Flowmeter')
        RETURN;
    UPDATE dbo.DeviceHourData
       SET Rainfall   = CASE WHEN @ColumnName = 'Rainfall' THEN @ColumnValue ELSE Rainfall END,
           waterLevel = CASE WHEN @ColumnName = 'waterLevel' THEN @ColumnValue ELSE waterLevel END,
           Flowmeter  = CASE WHEN @ColumnName = 'Flowmeter' THEN @ColumnValue ELSE Flowmeter END
     WHERE YCZNo = @YCZNo AND SaveTime = @SaveTime;
    IF @@ROWCOUNT = 0
        INSERT INTO dbo.DeviceHourData (DevNo, YCZNo, CommandName, CommandData, InsertTime, Status, waterLevel,
                                        Rainfall, Flowmeter, [Year], [Month], [Day], Mark, ZXZNO, [Hour], SaveTime)
        VALUES (@DevNo, @YCZNo, @CommandName, @CommandData, @NowTime, @Status,
                CASE WHEN @ColumnName = 'waterLevel' THEN @ColumnValue ELSE '' END,
                CASE WHEN @ColumnName = 'Rainfall' THEN @ColumnValue ELSE '' END,
                CASE WHEN @ColumnName = 'Flowmeter' THEN @ColumnValue ELSE '' END,
                @Year, @Month, @Day, @Mark, @ZXZNO, @Hour, @SaveTime);
END
GO

-- A picture received completely.
CREATE OR ALTER PROCEDURE dbo.pro_updateImage
    @YCZNo    VARCHAR(50),
    @CameraNo INT,
    @PicFlag  VARCHAR(20),
    @Status   INT,
    @PicType  VARCHAR(20),
    @FilePath NVARCHAR(260)
AS
BEGIN
    SET NOCOUNT ON;
    INSERT INTO dbo.DeviceImage (YCZNo, CameraNo, PicFlag, Status, PicType, FilePath, InsertTime)
    VALUES (@YCZNo, @CameraNo, @PicFlag, @Status, @PicType, @FilePath, GETDATE());
END
GO
