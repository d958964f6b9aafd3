-- The store refuses the first insert; RAISE(FAIL) keeps what the trigger wrote before it.
CREATE TABLE refusals(n INTEGER);
CREATE TRIGGER refuse BEFORE INSERT ON indication WHEN (SELECT count(*) FROM refusals) < 1
BEGIN INSERT INTO refusals VALUES(1); SELECT RAISE(FAIL, 'refused by the test'); END;
