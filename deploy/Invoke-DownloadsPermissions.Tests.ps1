BeforeAll {
    . (Join-Path $PSScriptRoot 'testing/TestSupport.ps1')
    . (Join-Path $PSScriptRoot 'Invoke-DownloadsPermissions.ps1') -ComputerName 'only defining functions'
}

Describe 'Get-PublishedHash' {
    It 'reads <Case>' -ForEach @(
        @{ Case = 'the sha256sum form'; Text = ('ab' * 32) + '  tool.exe'; Hash = 'AB' * 32 }
        @{ Case = 'the binary marker after a blank line'; Text = "`n" + ('0F' * 32) + " *tool.exe`r`n"; Hash = '0F' * 32 }
    ) {
        Get-PublishedHash $Text 'tool.exe.sha256' 'tool.exe' | Should -Be $Hash
    }

    It 'refuses <Case>' -ForEach @(
        @{ Case = 'an empty file'; Text = "`r`n `n"; Message = '*is not the checksum of tool.exe:*' }
        @{ Case = 'another file'; Text = ('a' * 64) + '  other.exe'; Message = "*not the checksum of tool.exe but of 'other.exe'*" }
        @{ Case = 'a hash that is short or not hexadecimal'; Text = ('g' * 63) + '  tool.exe'; Message = '*not a SHA-256*' }
    ) {
        { Get-PublishedHash $Text 'tool.exe.sha256' 'tool.exe' } | Should -Throw -ExpectedMessage $Message
    }
}

Describe 'Select-ScriptCopy' {
    It 'hands over the signed copy, else the plain one, else says what to put there' {
        $folder = New-Item -ItemType Directory -Path (Join-Path $TestDrive 'kit')
        { Select-ScriptCopy $folder 'detect' } | Should -Throw -ExpectedMessage 'neither detect.signed.ps1 nor detect.ps1 lies in*'
        foreach ($name in 'detect.ps1', 'detect.signed.ps1') {
            New-Item -ItemType File -Path (Join-Path $folder $name) | Out-Null
            Select-ScriptCopy $folder 'detect' | Should -Be (Join-Path $folder $name)
        }
    }
}

Describe 'Get-StatusMeaning' {
    It 'reads <Status> as <Outcome>: <Meaning>' -ForEach @(
        @{ Status = 0; Line = ''; Outcome = 'repaired'; Meaning = 'repaired: *' }
        @{ Status = 681; Line = 'C:\D was partly repaired: 3 items inside it were left as they were, the first C:\D\zz\h (a file with more than one name). Error 681'
            Outcome = 'refused'; Meaning = 'refused in part: 3 items inside it were left as they were, the first C:\D\zz\h (a file with more than one name); the rest was repaired*' }
        @{ Status = 681; Line = 'C:\D was not repaired: the way to it is a link. Error 681'; Outcome = 'refused'; Meaning = 'refused, nothing written: the way to it is a link; *' }
        @{ Status = 681; Line = 'C:\D was not repaired: it became a link while it was written. Error 681'; Outcome = 'refused'; Meaning = 'not repaired, something written:*' }
        @{ Status = 2; Line = 'C:\D was partly repaired: 1 item inside it was left as it was, the first C:\D\x (moved or vanished since it was listed). Error 2'
            Outcome = 'run again'; Meaning = 'run again: 1 item inside it was left as it was, the first C:\D\x (moved or vanished since it was listed) (*' }
        @{ Status = 32; Line = 'C:\D was not repaired: it is held open by another program. Error 32'; Outcome = 'run again'; Meaning = 'run again once the program that holds it lets go: it is held open by another program' }
        @{ Status = 5; Line = 'RegOpenKeyEx() failed. Error 5'; Outcome = 'failed'; Meaning = "*the agent's key does not open for full access even to SYSTEM (Windows error 5;*" }
        @{ Status = 5; Line = 'C:\D was partly repaired: 1 item inside it was left as it was, the first C:\D\y (cannot be opened). Error 5'; Outcome = 'failed'; Meaning = 'partly repaired: *C:\D\y (cannot be opened) (Windows error 5); the rest was repaired' }
        @{ Status = 5; Line = 'SetKernelObjectSecurity() failed. Error 5'; Outcome = 'failed'; Meaning = 'not repaired, something written: *(Windows error 5)*' }
        @{ Status = -1073741819; Line = ''; Outcome = 'failed'; Meaning = 'the tool stopped abnormally (0xC0000005)*' }
    ) {
        $outcome, $meaning = Get-StatusMeaning $Status $Line
        $outcome | Should -Be $Outcome
        $meaning | Should -BeLike $Meaning
        $meaning | Should -Not -BeLike '*run it as SYSTEM*'
    }
}

Describe 'On each computer' {
    BeforeAll {
        $programFiles = $env:ProgramFiles
        $tool = [byte[]](1, 2, 3)
        $scriptText = @{
            'applies.ps1' = "'True'"
            'detect.ps1'  = "'Downloads carries the program-files access list'"
            'audit.ps1'   = "param([switch]`$Summary, [int]`$MaxSeconds)`n[pscustomobject]@{ Kind = 'Link'; Path = 'C:\D\zz' }`n[pscustomobject]@{ Kind = 'Baseline'; Path = 'C:\D' }"
        }
        function New-Work {
            param([hashtable]$Text = @{}, [bool]$AuditOnly = $false, [string]$Sha256)
            $files = @{ 'tool.exe' = $tool; 'runner.txt' = [Text.Encoding]::UTF8.GetBytes("$(${function:Invoke-Runner})") }
            foreach ($texts in $scriptText, $Text) { $texts.Keys | ForEach-Object { $files[$_] = [Text.Encoding]::UTF8.GetBytes($texts[$_]) } }
            if (-not $Sha256) { $Sha256 = (Get-FileHash -InputStream ([IO.MemoryStream]::new($tool)) -Algorithm SHA256).Hash }
            @{ Name = 'DownloadsPermissions-' + [guid]::NewGuid().ToString('N'); Files = $files; Tool = 'tool.exe'; Sha256 = $Sha256
                Scripts = @{ Requirement = 'applies.ps1'; Detection = 'detect.ps1'; Audit = 'audit.ps1' }; AuditOnly = $AuditOnly
            }
        }
    }
    AfterAll { $env:ProgramFiles = $programFiles }

    BeforeEach {
        $env:ProgramFiles = Join-Path $TestDrive ([guid]::NewGuid().ToString('N'))
        New-Item -ItemType Directory -Path $env:ProgramFiles | Out-Null
        Mock icacls.exe { $global:LASTEXITCODE = 0 }
        Mock New-ScheduledTaskAction { [pscustomobject]@{ Execute = $Execute; Argument = $Argument } }
        Mock New-ScheduledTaskPrincipal { 'principal' }
        Mock New-ScheduledTaskSettingsSet { 'settings' }
        Mock Unregister-ScheduledTask { return }
        # Task Scheduler's stand-in runs the command the task was given; the
        # tool's stand-in ends with 681 and one line.
        Mock Register-ScheduledTask { $script:action = $Action }
        Mock Start-ScheduledTask { if ($action.Argument -match '-Command "(.*)"$') { Invoke-Expression $Matches[1] } }
        Mock Start-Process {
            Set-Content -LiteralPath $RedirectStandardError -Value "`r`nC:\D was partly repaired: 1 item inside it was left as it was, the first C:\D\zz (a link). Error 681"
            [pscustomobject]@{ ExitCode = 681 }
        }
    }

    It 'stages the kit for SYSTEM and Administrators alone, runs <Runs> as SYSTEM with no time limit, and reads every answer, when <Case>' -ForEach @(
        @{ Case = 'the requirement says True'; AuditOnly = $false; Text = @{}; Runs = 'the tool'; Outcome = 'refused'; Meaning = 'refused in part: *the first C:\D\zz (a link); the rest*' }
        @{ Case = 'only the audit is asked'; AuditOnly = $true; Text = @{}; Runs = 'no tool'; Outcome = 'in place'; Meaning = 'the tool was not run; *' }
        @{ Case = 'the requirement says False'; AuditOnly = $false; Text = @{ 'applies.ps1' = "'False'" }; Runs = 'no tool'; Outcome = 'not applicable'; Meaning = 'not applicable: *' }
        @{ Case = 'the requirement fails'; AuditOnly = $false; Text = @{ 'applies.ps1' = "Write-Error 'the key cannot be read'`nexit 1" }; Runs = 'the tool'
            Outcome = 'refused'; Meaning = '*; the requirement ended with 1: the key cannot be read' }
    ) {
        $work = New-Work $Text $AuditOnly
        $row = (ConvertTo-Row 'pc1' $work.Name $AuditOnly @(Invoke-TargetWork $work) @() $null).Row
        $row.Outcome | Should -Be $Outcome
        $row.Meaning | Should -BeLike $Meaning
        $row.Line | Should -Be $(if ($Runs -eq 'the tool') { 'C:\D was partly repaired: 1 item inside it was left as it was, the first C:\D\zz (a link). Error 681' })
        $row.Exposure | Should -Be '1 need action (Link); 1 stock baseline'
        Should -Invoke icacls.exe -Times 1 -Exactly -ParameterFilter { "$args" -like "*$($work.Name) /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F" }
        Should -Invoke New-ScheduledTaskPrincipal -Times 1 -Exactly -ParameterFilter { $UserId -eq 'S-1-5-18' }
        Should -Invoke New-ScheduledTaskSettingsSet -Times 1 -Exactly -ParameterFilter { $ExecutionTimeLimit -eq [TimeSpan]::Zero }
        Should -Invoke New-ScheduledTaskAction -Times 1 -Exactly -ParameterFilter { $Execute -like '"*\powershell.exe"' }
        Test-Path -LiteralPath (Join-Path $env:ProgramFiles $work.Name) | Should -BeFalse
    }

    It 'runs nothing when <Case>' -ForEach @(
        @{ Case = 'the staged copy is not the published one'; Sha256 = '0' * 64; Made = $false; Meaning = "not run: the staged copy's SHA-256 is *, not the published 000*; nothing was run" }
        @{ Case = 'the computer is being worked on under another name'; Sha256 = ''; Made = $true; Meaning = 'not run: * is being worked on in this run under another name' }
    ) {
        $work = New-Work @{} $false $Sha256
        if ($Made) { New-Item -ItemType Directory -Path (Join-Path $env:ProgramFiles $work.Name) | Out-Null }
        $row = (ConvertTo-Row 'pc1' $work.Name $false @(Invoke-TargetWork $work) @() $null).Row
        $row.Meaning | Should -BeLike $Meaning
        Should -Invoke Register-ScheduledTask -Times 0
        Test-Path -LiteralPath (Join-Path $env:ProgramFiles $work.Name) | Should -Be $Made
    }

    It 'stages nothing where remote commands run in ConstrainedLanguage, and says so' {
        $file = Join-Path $TestDrive 'work.ps1'
        Set-Content -LiteralPath $file -Value "$(${function:Invoke-TargetWork})"
        $run = Invoke-ConstrainedScript -Script $file -Arguments "-Work @{ Name = 'run1' } | ForEach-Object { `"`$(`$_.Answer)|not run: `$(`$_.Error)`" }"
        $run.Err | Should -BeNullOrEmpty
        $run.Out | Should -Be 'run1|not run: remote commands run in ConstrainedLanguage there (WDAC or AppLocker): use Intune or Configuration Manager'
    }
}

Describe 'Invoke-Fleet' {
    BeforeAll {
        $answer = @{ Answer = 'run1'; Result = [Management.Automation.PSSerializer]::Serialize(@{ Applies = $true; ExitStatus = 0; Line = $null
                    Repaired = $true; Findings = @([pscustomobject]@{ Kind = 'Baseline'; Path = 'C:\D'; Why = 'stock' }); Notes = @() }, 4)
        }
        # A child job that ends at EndsAt seconds in State, with its output and errors.
        function New-Child {
            param([string]$Location, [double]$EndsAt = 0, [string]$State = 'Completed', $Output = @($answer), $Errors = @(), $Reason = $null)
            [pscustomobject]@{ Location = $Location; EndsAt = $EndsAt; Ends = $State; Output = $Output; Errors = $Errors; Clock = $clock
                JobStateInfo = [pscustomobject]@{ Reason = $Reason }
            } | Add-Member -MemberType ScriptProperty -Name State -Value {
                if ($this.Clock.Seconds -ge $this.EndsAt) { $this.Ends } elseif ($this.EndsAt -ge 1e6) { 'NotStarted' } else { 'Running' } } -PassThru
        }
        function New-Failure {
            param([string]$Message, $Target)
            [Management.Automation.ErrorRecord]::new([Exception]::new($Message), 'Remote', 'OpenError', $Target)
        }
        function Invoke-Run {
            param([string[]]$ComputerName, [string]$FindingsPath)
            Invoke-Fleet -ComputerName $ComputerName -Work @{ Name = 'run1' } -Connect @{} -ThrottleLimit 32 `
                -Deadline ([datetime]'2030-01-01').AddSeconds(60) -AuditOnly $false -FindingsPath $FindingsPath
        }
    }

    BeforeEach {
        $clock = [pscustomobject]@{ Seconds = 0.0 }
        Mock Get-Date { ([datetime]'2030-01-01').AddSeconds($clock.Seconds) }
        Mock Start-Sleep { $clock.Seconds += $Seconds }
        Mock Receive-Job { $Job.Output; foreach ($failure in $Job.Errors) { Write-Error -ErrorRecord $failure } } -RemoveParameterType Job
        Mock Stop-Job { return } -RemoveParameterType Job
        Mock Remove-Job { return } -RemoveParameterType Job
    }

    It 'gives every name asked exactly one row: done, unreachable, unfinished, never reached, and two spellings of one' {
        # pc1 hands back stray output before its answer, and answers a second
        # time; down1's first error names another computer as its target.
        $children = @((New-Child 'pc1' 5 -Output @('stray', $answer, $answer)), (New-Child 'PC1' 6 -Output @(@{ Answer = 'run1'; Error = 'a second answer' })),
            (New-Child 'down1' 1 'Failed' @() @((New-Failure 'WinRM cannot complete the operation' 'pc1'), (New-Failure 'a later error' 'down1'))),
            (New-Child 'slow1' 3600), (New-Child 'late1' 1e9))
        Mock Invoke-Command { [pscustomobject]@{ ChildJobs = $children } } -ParameterFilter { $AsJob }
        $rows = @(Invoke-Run 'pc1', 'down1', 'PC1 ', 'slow1', 'late1', 'lost1')
        # In the order they end, the unfinished at the deadline, then the rest.
        $rows.ComputerName | Should -Be 'down1', 'pc1', 'slow1', 'late1', 'lost1'
        $rows.Outcome | Should -Be 'no answer', 'repaired', 'no answer', 'no answer', 'no answer'
        $rows[0].Meaning | Should -Be 'no answer: WinRM cannot complete the operation'
        $rows[1].Exposure | Should -Be 'nothing needs action; 1 stock baseline'
        $rows[2].Meaning | Should -BeLike "result not known: still working at the deadline. *task 'run1' and folder %ProgramFiles%\run1 are left there*"
        $rows[3].Meaning | Should -BeLike 'no answer: not reached before the deadline; nothing was started there'
        $rows[4].Meaning | Should -BeLike 'no answer: remoting started no work*'
        # One deadline for the whole run: no wait past it, and the job stopped.
        $clock.Seconds | Should -BeLessOrEqual 61
        Should -Invoke Stop-Job -Times 1 -Exactly
        Should -Invoke Invoke-Command -Times 1 -Exactly -ParameterFilter { "$ComputerName" -eq 'pc1 down1 slow1 late1 lost1' -and $ThrottleLimit -eq 32 }
    }

    It 'writes every finding with its computer''s name into the flat export' {
        $two = @{ Answer = 'run1'; Result = [Management.Automation.PSSerializer]::Serialize(@{ Applies = $true; ExitStatus = 681; Line = 'x'; Repaired = $false
                    Findings = @([pscustomobject]@{ Kind = 'Link'; Path = 'C:\D\zz'; Why = 'a junction' }, [pscustomobject]@{ Kind = 'HardLink'; Path = 'C:\D\h'; Why = 'two names' }) }, 4)
        }
        Mock Invoke-Command { [pscustomobject]@{ ChildJobs = @((New-Child 'pc1'), (New-Child 'pc2' -Output @($two)), (New-Child 'pc3' 1 'Failed' @())) } } -ParameterFilter { $AsJob }
        $csv = Join-Path $TestDrive 'findings.csv'
        $rows = @(Invoke-Run 'pc1', 'pc2', 'pc3' $csv)
        $rows.NeedAction | Should -Be 0, 2, $null
        $lines = @(Import-Csv -LiteralPath $csv)
        $lines | ForEach-Object { "$($_.ComputerName) $($_.Kind) $($_.Path)" } | Should -Be 'pc1 Baseline C:\D', 'pc2 Link C:\D\zz', 'pc2 HardLink C:\D\h'
    }

    It 'counts each outcome in -Summary, in a fixed order' {
        $rows = 'repaired', 'refused', 'repaired', 'no answer' | ForEach-Object -Begin { $i = 0 } -Process { New-Row "pc$((++$i))" $_ '' }
        Get-Summary $rows $false | ForEach-Object { "$($_.Outcome) $($_.Count) $($_.ComputerName)" } |
            Should -Be 'repaired 2 pc1, pc3', 'not applicable 0 ', 'refused 1 pc2', 'run again 0 ', 'failed 0 ', 'no answer 1 pc4'
    }
}
