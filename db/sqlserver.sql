-- Readings of the weather stations and the stored procedure the service calls once per
-- accepted reading, for SQL Server:
--   { call prwr_insert_wendrake (?,?,?,?,?,?,?,?,?,?,?,?) }
-- Parameters: station id; the reading's UTC time as 'yyyy-mm-d hh:mm:ss' (day without a
-- leading zero) and as 'dd.mm.yyyy hh:mm:ss'; wind speed; wind direction; 10-minute mean
-- direction and spread; outside temperature; humidity; pressure; rain; solar radiation.
-- The procedure must end without messages: the service takes any warning as a failed call.

IF OBJECT_ID(N'dbo.wendrake_readings', N'U') IS NULL
BEGIN
    CREATE TABLE dbo.wendrake_readings (
        reading_id      bigint IDENTITY(1,1) NOT NULL PRIMARY KEY,
        station_id      int NOT NULL,
        reading_time    datetime2(0) NOT NULL,  -- UTC, from the second time text
        time_text       varchar(32) NOT NULL,   -- as sent: yyyy-mm-d hh:mm:ss
        time_text_local varchar(32) NOT NULL,   -- as sent: dd.mm.yyyy hh:mm:ss
        wind_speed      real NULL,
        wind_dir        real NULL,
        wind_mean_dir   real NULL,              -- 10-minute vector mean
        wind_std_dir    real NULL,              -- 10-minute spread; -1 when suppressed
        outside_temp    real NULL,
        humidity        real NULL,
        pressure        real NULL,
        rain            real NULL,
        solar           real NULL,
        inserted_at     datetime2(3) NOT NULL DEFAULT SYSUTCDATETIME()
    );
END
GO

-- A station has one reading per time: a call sent again after an unknown outcome (the
-- connection broke after the server committed) finds its row and changes nothing. On a table
-- of an earlier version, remove duplicates first or the unique index cannot be made.
IF EXISTS (SELECT 1 FROM sys.indexes WHERE name = N'wendrake_readings_station_time'
           AND object_id = OBJECT_ID(N'dbo.wendrake_readings'))
    DROP INDEX wendrake_readings_station_time ON dbo.wendrake_readings;
IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE name = N'wendrake_readings_station_time_key'
               AND object_id = OBJECT_ID(N'dbo.wendrake_readings'))
    CREATE UNIQUE INDEX wendrake_readings_station_time_key
        ON dbo.wendrake_readings (station_id, reading_time);
GO

IF OBJECT_ID(N'dbo.prwr_insert_wendrake', N'P') IS NOT NULL
    DROP PROCEDURE dbo.prwr_insert_wendrake;
GO

CREATE PROCEDURE dbo.prwr_insert_wendrake
    @StationID     int,
    @Time          varchar(32),
    @TimeLocal     varchar(32),
    @WindSpeed     real,
    @WindDir       real,
    @WindMeanDir   real,
    @WindStdDir    real,
    @OutsideTemp   real,
    @Humidity      real,
    @Pressure      real,
    @Rain          real,
    @Solar         real
AS
BEGIN
    -- Row counts would reach the service as informational messages.
    SET NOCOUNT ON;
    -- Style 104 reads dd.mm.yyyy whatever the server's language and date format.
    DECLARE @ReadingTime datetime2(0) = CONVERT(datetime2(0), @TimeLocal, 104);
    -- Inserted once: the key range stays locked from the test to the insert, so two calls for
    -- the same reading cannot both insert; IGNORE_DUP_KEY is not used, as its message would
    -- reach the service as a warning.
    INSERT INTO dbo.wendrake_readings (station_id, reading_time, time_text, time_text_local,
                                       wind_speed, wind_dir, wind_mean_dir, wind_std_dir,
                                       outside_temp, humidity, pressure, rain, solar)
    SELECT @StationID, @ReadingTime, @Time, @TimeLocal,
           @WindSpeed, @WindDir, @WindMeanDir, @WindStdDir,
           @OutsideTemp, @Humidity, @Pressure, @Rain, @Solar
    WHERE NOT EXISTS (SELECT 1 FROM dbo.wendrake_readings WITH (UPDLOCK, HOLDLOCK)
                      WHERE station_id = @StationID AND reading_time = @ReadingTime);
END
GO
