-- Readings of the weather stations and the procedure the service calls once per accepted
-- reading, for PostgreSQL. The service calls it through the ODBC escape
--   { call prwr_insert_wendrake (?,?,?,?,?,?,?,?,?,?,?,?) }
-- which the PostgreSQL ODBC driver sends as a SELECT of the function.

CREATE TABLE IF NOT EXISTS wendrake_readings (
    reading_id      bigserial PRIMARY KEY,
    station_id      integer NOT NULL,
    reading_time    timestamp NOT NULL,     -- UTC, from the first time text
    time_text       varchar(32) NOT NULL,   -- as sent: yyyy-mm-d hh:mm:ss
    time_text_local varchar(32) NOT NULL,   -- as sent: dd.mm.yyyy hh:mm:ss
    wind_speed      real,
    wind_dir        real,
    wind_mean_dir   real,                   -- 10-minute vector mean
    wind_std_dir    real,                   -- 10-minute spread; -1 when suppressed
    outside_temp    real,
    humidity        real,
    pressure        real,
    rain            real,
    solar           real,
    inserted_at     timestamptz NOT NULL DEFAULT now()
);

-- A station has one reading per time: a call sent again after an unknown outcome (the
-- connection broke after the server committed) finds its row and changes nothing. On a table
-- of an earlier version, remove duplicates first or the unique index cannot be made.
DROP INDEX IF EXISTS wendrake_readings_station_time;
CREATE UNIQUE INDEX IF NOT EXISTS wendrake_readings_station_time_key
    ON wendrake_readings (station_id, reading_time);

CREATE OR REPLACE FUNCTION prwr_insert_wendrake(
    p_station_id      integer,
    p_time            varchar,
    p_time_local      varchar,
    p_wind_speed      double precision,
    p_wind_dir        double precision,
    p_wind_mean_dir   double precision,
    p_wind_std_dir    double precision,
    p_outside_temp    double precision,
    p_humidity        double precision,
    p_pressure        double precision,
    p_rain            double precision,
    p_solar           double precision)
RETURNS void
LANGUAGE sql
AS $$
    INSERT INTO wendrake_readings (station_id, reading_time, time_text, time_text_local,
                                   wind_speed, wind_dir, wind_mean_dir, wind_std_dir,
                                   outside_temp, humidity, pressure, rain, solar)
    VALUES (p_station_id, to_timestamp(p_time, 'YYYY-MM-DD HH24:MI:SS')::timestamp,
            p_time, p_time_local,
            p_wind_speed, p_wind_dir, p_wind_mean_dir, p_wind_std_dir,
            p_outside_temp, p_humidity, p_pressure, p_rain, p_solar)
    ON CONFLICT (station_id, reading_time) DO NOTHING;
$$;
