-- Rows as the store or another program left them, fetched oldest first and each
-- marked; the expected records, log and statuses are in fetch.expected.
-- Forwarded already: never fetched again.
insert into indication(Id, Status, ProviderName, EventID) values(5, 1, 'Old Provider', '1');
insert into indication(Id, Status, ProviderName, EventID) values(7, 0, 'Fan Monitor Provider', '12');
-- The text NULL reads as event 0.
insert into indication(Id, Status, ProviderName, EventID) values(9, 0, 'Disk', 'NULL');
-- The event time is the local time (central European, see the test) of its six
-- numbers: 11:34:56 UTC in winter, 10:00 UTC in summer; the offset in the text plays
-- no part. Anything that does not begin with the six numbers gives 0.
insert into indication(Id, Status, EventTime) values(10, 0, '20140315123456.000000+060');
insert into indication(Id, Status, EventTime) values(11, 0, '20140701120000.000000-300');
insert into indication(Id, Status, EventTime) values(12, 0, 'NULL');
insert into indication(Id, Status, EventTime) values(13, 0, '');
insert into indication(Id, Status, EventTime) values(14, 0, '2014-03-15 12:34:56');
insert into indication(Id, Status, EventTime) values(15, 0, NULL);
-- The location is the encoded column's, else the physical column's, else the null
-- location; NULLS is a location text of its own.
insert into indication(Id, Status, HWEncodingPhysicalLocation, HWPhysicalLocation) values(20, 0, '1122334455667788', '0102030405060708');
insert into indication(Id, Status, HWEncodingPhysicalLocation, HWPhysicalLocation) values(21, 0, 'NULL', '0102030405060708');
insert into indication(Id, Status, HWEncodingPhysicalLocation, HWPhysicalLocation) values(22, 0, '', '0102030405060708');
insert into indication(Id, Status, HWEncodingPhysicalLocation, HWPhysicalLocation) values(23, 0, NULL, '0102030405060708');
insert into indication(Id, Status, HWEncodingPhysicalLocation, HWPhysicalLocation) values(24, 0, 'NULL', '');
insert into indication(Id, Status, HWEncodingPhysicalLocation, HWPhysicalLocation) values(25, 0, NULL, 'NULL');
insert into indication(Id, Status, HWEncodingPhysicalLocation, HWPhysicalLocation) values(26, 0, 'NULLS', '0102030405060708');
